// Downloads for the publisher's tool, through the updater's own download
// service, so the tool sees a server exactly as the updater does (the same
// limits, the same refusal of a cut-off or partial body).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "download/DownloadService.h"
#include "platform/ForwardingPlatform.h"

namespace pellarion::publish {

// The system's platform for the tool. The download service purges the
// Windows browser cache of the user before every download, which is the
// updater's business on a workstation and never the tool's: that purge is
// refused here, and everything else is the system's.
class ToolPlatform : public ForwardingPlatform {
 public:
  ToolPlatform() : ToolPlatform(CreateSystemPlatform()) {}
  void DeleteFolder(const std::string& path) override {
    throw PlatformError("the publisher's tool deletes no folder: " + path);
  }

 private:
  explicit ToolPlatform(std::unique_ptr<Platform> system)
      : ForwardingPlatform(*system), system_(std::move(system)) {}
  std::unique_ptr<Platform> system_;
};

// Fetches `url` into `path` with the updater's limits and a body of at most
// `maxBytes`. While it runs longer than a second and standard output is a
// terminal, a line shows how much has arrived.
DownloadOutcome Fetch(Platform& platform, const std::string& url, const std::string& path,
                      std::int64_t maxBytes);

}  // namespace pellarion::publish
