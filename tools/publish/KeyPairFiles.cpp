#include <filesystem>
#include <fstream>

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

std::string ReadKeyFile(const std::string& path) {
  constexpr std::streamsize kMaxKeyFileBytes = 64 * 1024;  // a key file is a few hundred bytes
  std::ifstream in(std::filesystem::path(std::u8string(path.begin(), path.end())), std::ios::binary);
  if (!in) throw PublishError("cannot read the private key " + path);
  std::string text(kMaxKeyFileBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) throw PublishError("cannot read the private key " + path);
  if (in.gcount() > kMaxKeyFileBytes) throw PublishError(path + " is too large to be a key file");
  text.resize(static_cast<std::size_t>(in.gcount()));
  return text;
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
