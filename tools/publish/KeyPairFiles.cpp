#include <filesystem>

#include "tools/publish/PublisherKeys.h"
#include "tools/publish/SystemFiles.h"

namespace pellarion::publish {

KeyPairFiles PrepareKeyPairFolder(const std::string& dir) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::create_directories(dir, error);
  if (error) throw PublishError("cannot create the folder " + dir + ": " + error.message());
  const fs::path folder = fs::absolute(dir).lexically_normal();
  const KeyPairFiles files{(folder / kPrivateKeyName).string(), (folder / kPublicKeyName).string()};
  for (const auto& path : {files.privateKey, files.publicKey}) {
    if (fs::exists(fs::symlink_status(path))) {
      throw PublishError(path + " already exists; a key pair is never replaced (move it away first)");
    }
  }
  return files;
}

void WriteKeyPair(const KeyPairFiles& files, const std::string& privatePem, const std::string& publicPem) {
  WriteNewFile(files.privateKey, privatePem, Readers::OwnerOnly);
  try {
    WriteNewFile(files.publicKey, publicPem);
  } catch (...) {
    RemoveIfThere(files.privateKey);
    throw;
  }
}

}  // namespace pellarion::publish
