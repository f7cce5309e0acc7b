// The rules of a transfer, as every transport feeds them: a scripted
// transport plays heads, body pieces, waits and cuts on the fake platform's
// clock, through the whole download (policy, file, retries, resume).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "download/clsDownload.h"
#include "download/ResumeRecord.h"
#include "tests/support/FakePlatform.h"

namespace pellarion {
namespace {

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using testing::FakePlatform;

const std::string kUrl = "http://u/update/Pellarion.bin";
const std::string kTarget = "C:\\Pellarion\\Pellarion.bin";

// One thing the server or the link does.
struct Step {
  enum Kind { Head, Body, Wait, Cut } kind;
  int status = 200;
  std::string length, range, etag, retryAfter;
  std::string bytes;
  std::int64_t ms = 0;  // Body: after this long; Wait: this long at most
};
Step Answer(int status, std::string length, std::string etag = "", std::string range = "",
            std::string retryAfter = "") {
  return {Step::Head, status, std::move(length), std::move(range), std::move(etag), std::move(retryAfter), "", 0};
}
Step Bytes(std::string bytes, std::int64_t afterMs = 0) {
  return {Step::Body, 200, "", "", "", "", std::move(bytes), afterMs};
}
Step Stall(std::int64_t ms) { return {Step::Wait, 200, "", "", "", "", "", ms}; }
const Step kCut{Step::Cut, 200, "", "", "", "", "", 0};
using Script = std::vector<Step>;

// `n` bursts of `size` bytes, `gapMs` apart, nothing in between.
Script Bursts(int n, std::size_t size, std::int64_t gapMs) {
  Script script;
  for (int i = 0; i < n; ++i) {
    if (i > 0) script.push_back(Stall(gapMs));
    script.push_back(Bytes(std::string(size, 'b')));
  }
  return script;
}
Script Then(Script a, const Script& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::string kOld = std::string(60, 'o') + std::string(40, 'O');  // version "a", 100 bytes
const std::string kNew = std::string(100, 'n');                        // version "b"

TEST(TransferRulesTest, OneTableOfAnswersCutsAndClocks) {
  struct Case {
    std::string name;
    std::function<void(DownloadLimits&)> limits;
    std::vector<Script> attempts;       // what the server and the link do, request by request
    bool keptBefore = false;            // 60 bytes of kOld kept by an earlier run
    bool fetched;
    std::string error;                  // part of the error when not fetched
    std::vector<std::string> requests;  // "whole", or the range and If-Range asked
    std::string file;                   // the target afterwards
    bool keptAfter = false;             // .part and .resume left for the next run
    std::int64_t endsBeforeMs = 0;      // on the fake clock, when a rule of time ends it
  } cases[] = {
      {"the whole body", {}, {{Answer(200, "100", "\"a\""), Bytes(kOld)}}, false, true, "", {"whole"}, kOld},
      {"announced above the cap", [](auto& l) { l.maxBytes = 99; },
       {{Answer(200, "100"), Bytes(kOld)}}, false, false, "more than the 99 bytes allowed", {"whole"}, ""},
      {"unannounced, past the cap", [](auto& l) { l.maxBytes = 99; },
       {{Answer(200, ""), Bytes(kOld)}}, false, false, "longer than the 99 bytes allowed", {"whole"}, ""},
      {"announced otherwise than the caller knows", [](auto& l) { l.expectedBytes = 101; },
       {{Answer(200, "100"), Bytes(kOld)}}, false, false, "100 bytes announced, 101 bytes expected", {"whole"}, ""},
      {"a 206 that was not asked for", {}, {{Answer(206, "40", "\"a\"", "bytes 60-99/100"), Bytes(kOld.substr(60))}},
       false, false, "a 206 not asked for", {"whole"}, ""},
      {"an early end", {}, {{Answer(200, "100"), Bytes(kOld.substr(0, 60))}}, false, false,
       "body of 60 bytes, 100 bytes announced", {"whole"}, ""},
      {"bursts of 7000 bytes every 50 s", {}, {Then({Answer(200, "1000000")}, Bursts(20, 7000, 50000))}, false,
       false, "slower than 1024 bytes a second over 60 s", {"whole"}, "", false, 61000},
      {"a stall after the head", {}, {{Answer(200, "1000000"), Bytes("x"), Stall(600000)}}, false, false,
       "slower than 1024", {"whole"}, "", false, 61000},
      {"steady at 1100 bytes a second", {}, {Then({Answer(200, "110000")}, Bursts(100, 1100, 1000))}, false, true,
       "", {"whole"}, std::string(110000, 'b')},
      {"the deadline: grace plus the length at the pace",
       [](auto& l) {
         l.graceSeconds = 10;
         l.stallSeconds = 600;
       },
       {{Answer(200, "10240"), Stall(600000)}}, false, false, "past the deadline for its length", {"whole"}, "",
       false, 20002},
      {"the run's deadline ends a transfer", [](auto& l) { l.runDeadlineMs = 1000000 + 5000; },
       {{Answer(200, "100"), Bytes("x"), Stall(600000)}}, false, false, "the run's time is over", {"whole"}, "",
       false, 5001},
      {"a busy server, then its answer", {},
       {{Answer(503, "5", "", "", "7"), Bytes("busy!")}, {Answer(200, "100"), Bytes(kOld)}}, false, true, "",
       {"whole", "whole"}, kOld},
      {"busy four times", {},
       {{Answer(503, "0")}, {Answer(429, "0")}, {Answer(503, "0", "", "", "900")}, {Answer(503, "0")}}, false,
       false, "HTTP status 503", {"whole", "whole", "whole", "whole"}, ""},
      {"a busy server that says when to come back is waited out",
       [](auto& l) {
         l.waitsOutBusy = true;
         l.runDeadlineMs = 1000000 + 3600000;
       },
       {{Answer(503, "0", "", "", "30")}, {Answer(503, "0", "", "", "30")}, {Answer(429, "0", "", "", "30")},
        {Answer(503, "0", "", "", "30")}, {Answer(503, "0", "", "", "30")}, {Answer(200, "100"), Bytes(kOld)}},
       false, true, "", {"whole", "whole", "whole", "whole", "whole", "whole"}, kOld},
      {"waited out no longer than the run lasts",
       [](auto& l) {
         l.waitsOutBusy = true;
         l.runDeadlineMs = 1000000 + 59000;
       },
       {{Answer(503, "0", "", "", "30")}, {Answer(503, "0", "", "", "30")}, {Answer(200, "100"), Bytes(kOld)}}, false,
       false, "HTTP status 503", {"whole", "whole"}, ""},
      {"waited out only while it says when", [](auto& l) { l.waitsOutBusy = true; },
       {{Answer(503, "0")}, {Answer(503, "0")}, {Answer(503, "0")}, {Answer(503, "0")}, {Answer(200, "100")}}, false,
       false, "HTTP status 503", {"whole", "whole", "whole", "whole"}, ""},
      // Packages resume; the manifest (not resumable) above does not.
      {"cut, then resumed with the same validator", [](auto& l) { l.resumable = true; },
       {{Answer(200, "100", "\"a\""), Bytes(kOld.substr(0, 60)), kCut},
        {Answer(206, "40", "\"a\"", "bytes 60-99/100"), Bytes(kOld.substr(60))}},
       false, true, "", {"whole", "60- \"a\""}, kOld},
      {"cut, then the package changed: its 200 starts over", [](auto& l) { l.resumable = true; },
       {{Answer(200, "100", "\"a\""), Bytes(kOld.substr(0, 60)), kCut}, {Answer(200, "100", "\"b\""), Bytes(kNew)}},
       false, true, "", {"whole", "60- \"a\""}, kNew},
      {"a 206 of another version is never joined", [](auto& l) { l.resumable = true; },
       {{Answer(206, "40", "\"b\"", "bytes 60-99/100"), Bytes(kNew.substr(60))},
        {Answer(200, "100", "\"b\""), Bytes(kNew)}},
       true, true, "", {"60- \"a\"", "whole"}, kNew},
      {"a 206 of another range is never joined", [](auto& l) { l.resumable = true; },
       {{Answer(206, "50", "\"a\"", "bytes 50-99/100"), Bytes(kOld.substr(50))},
        {Answer(200, "100", "\"a\""), Bytes(kOld)}},
       true, true, "", {"60- \"a\"", "whole"}, kOld},
      {"kept bytes of a replaced package with the same validator fail the digest, fetched whole once more",
       [](auto& l) {
         l.resumable = true;
         static const std::string digest = FakePlatform::Sha256Of(kNew);
         l.expectedSha256 = &digest;
       },
       {{Answer(206, "40", "\"a\"", "bytes 60-99/100"), Bytes(kNew.substr(60))},
        {Answer(200, "100", "\"a\""), Bytes(kNew)}},
       true, true, "", {"60- \"a\"", "whole"}, kNew},
      {"cut without a validator: nothing to resume", [](auto& l) { l.resumable = true; },
       {{Answer(200, "100"), Bytes(kOld.substr(0, 60)), kCut}}, false, false, "cut", {"whole"}, ""},
      {"cut, and the link stays down: kept for the next run", [](auto& l) { l.resumable = true; },
       {{Answer(200, "100", "\"a\""), Bytes(kOld.substr(0, 60)), kCut}, {kCut}}, false, false, "cut",
       {"whole", "60- \"a\""}, "", true},
      {"no room for the announced length on the volume", {},
       {{Answer(200, "100000000"), Bytes(kOld)}}, false, false, "leaves less than", {"whole"}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform fake;
    fake.volume = {.freeBytes = 100000000 + 50000000, .totalBytes = 1000000000};  // reserve 64 MiB
    const std::int64_t startMs = fake.monotonicMs;
    if (c.keptBefore) {
      fake.AddFile(kTarget + ".part", kOld.substr(0, 60));
      fake.AddFile(kTarget + ".resume", ResumeRecordText({kUrl, "", {60, "\"a\"", 100}}));
    }
    std::size_t next = 0;
    std::vector<std::string> requests;
    fake.transport = [&](const TransferRequest& request, TransferSink& sink) {
      requests.push_back(request.rangeFrom == 0 ? "whole"
                                                : std::to_string(request.rangeFrom) + "- " + request.ifRange);
      ASSERT_LT(next, c.attempts.size()) << "more requests than the script has";
      for (const Step& step : c.attempts[next++]) {
        switch (step.kind) {
          case Step::Head:
            sink.Head({step.status, step.length, step.range, step.etag, "", step.retryAfter});
            break;
          case Step::Body:
            fake.monotonicMs += step.ms;
            sink.Body(step.bytes.data(), step.bytes.size());
            break;
          case Step::Wait:
            // A transport bounds each wait by the sink's limit, then ticks.
            for (std::int64_t left = step.ms; left > 0;) {
              const std::int64_t wait = std::min(left, std::max<std::int64_t>(1, sink.WaitLimitMs()));
              fake.monotonicMs += wait;
              left -= wait;
              sink.Idle();
            }
            break;
          case Step::Cut:
            throw PlatformError("the connection was cut");
        }
      }
    };
    DownloadLimits limits;
    if (c.limits) c.limits(limits);
    clsDownload download(fake, kUrl, kTarget, limits);
    download.Get_File();
    const DownloadOutcome& outcome = download.Outcome();
    EXPECT_EQ(outcome.fetched, c.fetched) << outcome.error;
    if (!c.fetched) {
      EXPECT_THAT(outcome.error, HasSubstr(c.error));
    }
    EXPECT_THAT(requests, ElementsAreArray(c.requests));
    EXPECT_EQ(fake.HasFile(kTarget) ? fake.File(kTarget).contents : "", c.file);
    EXPECT_EQ(fake.HasFile(kTarget + ".part"), c.keptAfter);
    EXPECT_EQ(fake.HasFile(kTarget + ".resume"), c.keptAfter);
    if (c.endsBeforeMs > 0) {
      const auto waited = std::count_if(fake.log.begin(), fake.log.end(),
                                        [](const std::string& e) { return e.rfind("pause", 0) == 0; });
      EXPECT_EQ(waited, 0);
      EXPECT_LT(fake.monotonicMs - startMs, c.endsBeforeMs);
      EXPECT_GE(fake.monotonicMs - startMs, c.endsBeforeMs - 2000);
    }
  }
}

}  // namespace
}  // namespace pellarion

namespace pellarion {
namespace {

// A fleet turned away together, each workstation with its run's random
// number: their next tries spread over the whole of each window, after a
// back-off and after a Retry-After alike.
TEST(TransferRulesTest, AFleetTurnedAwayTogetherComesBackSpreadOut) {
  std::uint32_t random = 12345;
  std::vector<std::uint32_t> fleet(200);
  for (std::uint32_t& jitter : fleet) jitter = random = random * 1103515245U + 12345U;
  // Every wait from `fromMs` to `fromMs` + `spanMs`, and each eighth of that
  // window taken by a part of the fleet.
  const auto spread = [&](std::int64_t fromMs, std::int64_t spanMs,
                          const std::function<std::int64_t(std::uint32_t)>& wait) {
    std::vector<int> eighths(8);
    for (const std::uint32_t jitter : fleet) {
      const std::int64_t ms = wait(jitter) - fromMs;
      ASSERT_GE(ms, 0);
      ASSERT_LT(ms, spanMs);
      ++eighths[static_cast<std::size_t>(ms * 8 / spanMs)];
    }
    for (const int n : eighths) EXPECT_GT(n, 10) << fromMs;
  };
  for (int tries = 0; tries < 3; ++tries) {
    spread(2000 << tries, 2000 << tries, [&](std::uint32_t jitter) { return BackoffMs(jitter, tries); });
  }
  // Retry-After: 30 s, then up to 15 s more.
  spread(30000, 15000, [](std::uint32_t jitter) {
    FakePlatform fake;
    int answers = 0;
    fake.transport = [&](const TransferRequest&, TransferSink& sink) {
      sink.Head({answers++ == 0 ? 503 : 200, "0", "", "", "", "30"});
    };
    DownloadLimits limits;
    limits.jitter = jitter;
    clsDownload(fake, kUrl, kTarget, limits).Get_File();
    return fake.monotonicMs - 1000000;
  });
}

}  // namespace
}  // namespace pellarion
