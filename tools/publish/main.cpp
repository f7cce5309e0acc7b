// pellarion-publish: makes the publisher's keys, stages the update server's
// or the share's tree from the build's executables, and verifies a published
// tree the way the updater will meet it.
//
// Exit status: 0 when all went well, 1 for a refusal, a failure or any
// problem found, 2 for a command line that makes no sense.
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/Files.h"
#include "tools/publish/Fetch.h"
#include "tools/publish/PublisherKeys.h"
#include "tools/publish/Stage.h"
#include "tools/publish/Verify.h"
#include "versions/SignatureText.h"

namespace {

using namespace pellarion;
using namespace pellarion::publish;

constexpr const char* kUsage = R"(Usage:
  pellarion-publish keygen DIR
  pellarion-publish stage --app Pellarion.exe --updater update.exe [--key private.pem]
                          [--release N] [--expires YYYY-MM-DD] [--previous URL-or-FILE] [--share] OUT
  pellarion-publish verify URL-or-DIR [--key public.pem]

keygen   Writes a new ECDSA P-256 key pair: DIR/publisher-private.pem (readable by
         you only; keep it off the server) and DIR/publisher-public.pem, which an
         updater build trusts through -DPELLARION_PUBLISHER_KEY. Never replaces
         an existing key.
stage    Checks both executables as the updater will (whole programs, no DLL,
         a version record) and writes OUT/update/update.txt, Pellarion.bin and
         update.bin; with --share the share's tree OUT/Pellarion/pellarion.exe
         and update.exe instead. With --key, update.txt (on a share
         Pellarion/update.txt) carries the signed release description: each
         package's role, version, length and SHA-256, the release number (--release
         N; else one more than the live one that --previous names; else the UTC
         time as YYYYMMDDhhmmss) and, with --expires, the last day it is valid.
         --previous names the live manifest (a URL, a server's base URL or a
         file): a version the updater would not take for newer is refused. The
         tree is written beside OUT and moved into place, the packages before
         the manifest. The staged tree is then verified.
verify   Checks a server (http[s]://host[:port]), a staged server tree (a folder
         holding update/) or a share root (a folder holding Pellarion/): the
         manifest's lines and offers, the release description, and each package
         through the updater's gate and against its role's entry; with --key the
         description's signature and expiry. One line per finding.

Exit status: 0 all well, 1 refused, failed or a problem found, 2 usage error.
)";

struct UsageError {
  std::string text;
};

// The arguments after the command: options that take a value, flags, and
// the remaining positional arguments.
struct Arguments {
  std::map<std::string, std::string> values;
  std::map<std::string, bool> flags;
  std::vector<std::string> positional;
};

Arguments Parse(const std::vector<std::string>& args, const std::vector<std::string>& valueOptions,
                const std::vector<std::string>& flagOptions) {
  Arguments parsed;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() < 2 || arg.rfind("--", 0) != 0) {
      parsed.positional.push_back(arg);
    } else if (std::find(valueOptions.begin(), valueOptions.end(), arg) != valueOptions.end()) {
      if (i + 1 >= args.size()) throw UsageError{arg + " needs a value"};
      if (parsed.values.count(arg) != 0) throw UsageError{arg + " given twice"};
      parsed.values[arg] = args[++i];
    } else if (std::find(flagOptions.begin(), flagOptions.end(), arg) != flagOptions.end()) {
      parsed.flags[arg] = true;
    } else {
      throw UsageError{"unknown option " + arg};
    }
  }
  return parsed;
}

std::string OneTarget(const Arguments& args, const char* what) {
  if (args.positional.size() != 1) throw UsageError{std::string("expected one ") + what};
  return args.positional.front();
}

int Keygen(const std::vector<std::string>& argv) {
  const std::string dir = OneTarget(Parse(argv, {}, {}), "folder DIR");
  GenerateKeyPair(dir);
  const auto absolute = std::filesystem::absolute(dir).lexically_normal();
  std::cout << "private key: " << (absolute / kPrivateKeyName).string() << " (keep it secret, off the server)\n"
            << "public key:  " << (absolute / kPublicKeyName).string() << "\n"
            << "Build an updater that trusts it with:\n"
            << "  cmake ... -DPELLARION_PUBLISHER_KEY=" << (absolute / kPublicKeyName).string() << "\n";
  return 0;
}

int StageCommand(const std::vector<std::string>& argv) {
  const Arguments args =
      Parse(argv, {"--app", "--updater", "--key", "--previous", "--release", "--expires"}, {"--share"});
  StageRequest request;
  request.out = OneTarget(args, "output folder OUT");
  for (const char* required : {"--app", "--updater"}) {
    if (args.values.count(required) == 0) throw UsageError{std::string(required) + " is required"};
  }
  request.application = args.values.at("--app");
  request.updater = args.values.at("--updater");
  if (args.values.count("--key")) request.privateKey = args.values.at("--key");
  if (args.values.count("--previous")) request.previous = args.values.at("--previous");
  if (args.values.count("--expires")) request.expires = args.values.at("--expires");
  if (args.values.count("--release")) {
    const std::string& number = args.values.at("--release");
    if (number.empty() || number.size() > 18 || number.find_first_not_of("0123456789") != std::string::npos) {
      throw UsageError{"--release takes a whole number from 1 to 999999999999999999"};
    }
    request.release = std::stoull(number);
  }
  request.share = args.flags.count("--share") != 0;
  const std::unique_ptr<Platform> platform = CreateSystemPlatform();
  const int problems = Stage(*platform, request, std::cout);
  return problems == 0 ? 0 : 1;
}

int VerifyCommand(const std::vector<std::string>& argv) {
  const Arguments args = Parse(argv, {"--key"}, {});
  const std::string target = OneTarget(args, "URL or folder");
  const std::unique_ptr<Platform> platform = CreateSystemPlatform();
  std::string spki;
  if (args.values.count("--key")) {
    const std::string keyPath = args.values.at("--key");
    std::string pem;
    try {
      pem = ReadSmallFile(*platform, std::filesystem::absolute(keyPath).string(), 64 * 1024);
    } catch (const std::exception& e) {
      throw PublishError("cannot read the public key " + keyPath + ": " + e.what());
    }
    const auto der = DecodePublicKeyPem(pem);
    if (!der) throw PublishError(keyPath + " holds no PEM public key (\"BEGIN PUBLIC KEY\")");
    spki = *der;
  }
  const int problems = VerifyTree(*platform, target, spki, std::cout);
  std::cout << (problems == 0 ? "verified: no problem found\n"
                              : std::to_string(problems) + (problems == 1 ? " problem" : " problems") + " found\n");
  return problems == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    (args.empty() ? std::cerr : std::cout) << kUsage;
    return args.empty() ? 2 : 0;
  }
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  for (const auto& arg : rest) {
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
  }
  try {
    if (args[0] == "keygen") return Keygen(rest);
    if (args[0] == "stage") return StageCommand(rest);
    if (args[0] == "verify") return VerifyCommand(rest);
    throw UsageError{"unknown command " + args[0]};
  } catch (const UsageError& usage) {
    std::cerr << "pellarion-publish: " << usage.text << "\n\n" << kUsage;
    return 2;
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << "pellarion-publish: " << e.what() << "\n";
    return 1;
  }
}
