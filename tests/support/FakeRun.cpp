#include "tests/support/FakeRun.h"

#include <algorithm>

#include "app/Form1.h"
#include "app/Messages.h"
#include "app/UpdateRun.h"
#include "platform/WebColour.h"

namespace pellarion::testing {

FakeRunResult RunOnFake(Platform& platform, const FakePlatform& fake, const std::string& host,
                        const std::string& publisherKey) {
  Form1 form(platform);
  UpdateRun run(platform, form, host, publisherKey);
  FakeRunResult result{run.Execute(), form.Status(), {}};
  const std::string searching = "status " + WebColour(kBlue) + " " + messages::kSearching;
  auto it = std::find(fake.log.begin(), fake.log.end(), searching);
  for (it = it == fake.log.end() ? it : it + 1; it != fake.log.end(); ++it) {
    const bool stopping = it->rfind("close ", 0) == 0 || it->rfind("wait ", 0) == 0 ||
                          it->rfind("terminate ", 0) == 0;
    if (stopping && !result.after.empty() && result.after.back() == "stop") continue;
    if (*it != "mouse pointer") result.after.push_back(stopping ? "stop" : *it);
  }
  return result;
}

std::vector<std::string> LogLines(const FakePlatform& fake, const std::string& part, const std::string& log) {
  std::vector<std::string> lines;
  if (!fake.HasFile(log)) return lines;
  const std::string& text = fake.File(log).contents;
  for (std::size_t at = 0, end; at < text.size(); at = end + 2) {
    end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    if (line.find(part) != std::string::npos) lines.push_back(line.substr(line.find(' ') + 1));
  }
  return lines;
}

}  // namespace pellarion::testing
