// pellarion-publish: makes the publisher's keys, stages the update server's
// or the share's tree from the build's executables, and verifies a published
// tree the way the updater will meet it.
//
// Exit status: 0 when all went well, 1 for a refusal, a failure or any
// problem found, 2 for a command line that makes no sense.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gate/Files.h"
#include "tools/publish/Fetch.h"
#include "tools/publish/Fleet.h"
#include "tools/publish/KeyEncoding.h"
#include "tools/publish/PublisherKeys.h"
#include "tools/publish/ReleaseWriter.h"
#include "tools/publish/Stage.h"
#include "tools/publish/SystemFiles.h"
#include "tools/publish/Verify.h"
#include "versions/EscapedText.h"
#include "versions/ReleaseDescription.h"
#include "versions/SignatureText.h"

namespace {

using namespace pellarion;
using namespace pellarion::publish;

// The usage text; "{/}" stands for the system's folder separator, so that
// paths read as the user types them.
constexpr const char* kUsageText = R"(Usage:
  pellarion-publish keygen DIR
  pellarion-publish certify --root root-private.pem --key release-public.pem --sequence N
                            [--expires YYYY-MM-DD] OUT
  pellarion-publish stage --app Pellarion.exe --updater update.exe [--key private.pem]
                          [--certificate CERT] [--release N] [--expires YYYY-MM-DD] [--rollout PERCENT]
                          [--channel NAME]... [--previous URL-or-FILE] [--delta-from EARLIER.exe]... [--share] OUT
  pellarion-publish verify URL-or-DIR [--key public.pem]
  pellarion-publish fleet [--days N] [--svg FILE] LOG...

keygen   Writes a new ECDSA P-256 key pair: DIR{/}publisher-private.pem (readable by
         you only; keep it off the server) and DIR{/}publisher-public.pem, which an
         updater build trusts through -DPELLARION_PUBLISHER_KEY. Never replaces
         an existing key.
certify  Writes OUT, a certificate by which the root key (the key the updater
         build trusts; keep it offline) vouches for a release key: the updater
         then takes releases that key signs, staged with --certificate OUT.
         --sequence grows with every key certified: an updater that has seen
         a certificate refuses every one of a lower sequence, which revokes
         the keys before it. --expires: the last day it is valid (UTC).
stage    Checks both executables as the updater will (whole programs, no DLL,
         a version record) and writes OUT{/}update{/}update.txt, Pellarion.bin and
         update.bin; with --share the share's tree OUT{/}Pellarion{/}pellarion.exe
         and update.exe instead. With --key, update.txt (on a share
         Pellarion{/}update.txt) carries the signed release description: each
         package's role, version, length and SHA-256, the release number (--release
         N, higher than the live one; else the UTC time as YYYYMMDDhhmmss, or one
         more than the live release when that is higher: one rule for servers
         and shares) and, with --expires, the last day it is valid (UTC; a day
         that has passed is refused). --certificate: the release key's
         certificate (certify), when --key is a release key. --rollout: the
         percentage of workstations that take the release (0 to 100, default
         100; each draws by a random identity of its own and the packages);
         the same packages staged again with a larger one widen the rollout, 0
         halts it. --channel (repeatable): where the release may be read:
         server (the default), share (the default with --share) or an update
         server's host name. --previous names the live manifest (a URL,
         a server's base URL or a file): a file the workstations at its offer
         would not take is refused (its version digits must make a larger
         number, and its version be higher part by part). The tree is written
         beside OUT and verified there; only then is it moved into place, the
         packages before the manifest. A refusal leaves OUT as it was.
         --delta-from (repeatable; with --key, not with --share) names an
         earlier build of the application or of the updater, told apart by its
         major version: a delta from it to the new package is written beside the
         package and bound in the signed description, and updaters whose
         installed file is that build download it instead of the whole package.
verify   Checks a server (http[s]://host[:port]), a staged server tree (a folder
         holding update{/}) or a share root (a folder holding Pellarion{/}): the
         manifest's lines and offers, the release description, and each package
         through the updater's gate and against its role's entry; with --key the
         description's signature and expiry, with a root key also its
         certificate. One line per finding.
fleet    Reads the update server's access logs (nginx's or Apache's combined
         format, IIS's W3C format; plain or gzip) and prints, for the last N days
         (default 7), how many workstations run each version of Pellarion and of
         update.exe, with the share of each. A workstation is one address with
         one system and processor in the User-Agent, counted once, at the
         versions of its latest request. Lines of neither format are skipped and
         counted. A LOG with * ? or [...] names the files that match it; one that
         matches none is skipped with a note. --svg also draws it as a bar chart
         in FILE.

Exit code: 0 all well, 1 refused, failed or a problem found, 2 usage error.
)";

std::string Usage() {
  std::string text = kUsageText;
  for (std::size_t at = text.find("{/}"); at != std::string::npos; at = text.find("{/}", at)) {
    text.replace(at, 3, 1, static_cast<char>(std::filesystem::path::preferred_separator));
  }
  return text;
}

struct UsageError {
  std::string text;
};

// The arguments after the command: options that take a value, options
// that may be given several times, flags, and the remaining positional
// arguments.
struct Arguments {
  std::map<std::string, std::string> values;
  std::map<std::string, std::vector<std::string>> lists;
  // The values given to a repeatable option, in order; none when not given.
  const std::vector<std::string>& List(const std::string& option) const {
    static const std::vector<std::string> kNone;
    const auto found = lists.find(option);
    return found == lists.end() ? kNone : found->second;
  }
  std::map<std::string, bool> flags;
  std::vector<std::string> positional;
};

Arguments Parse(const std::vector<std::string>& args, const std::vector<std::string>& valueOptions,
                const std::vector<std::string>& flagOptions, const std::vector<std::string>& listOptions = {}) {
  Arguments parsed;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() < 2 || arg.rfind("--", 0) != 0) {
      parsed.positional.push_back(arg);
    } else if (std::find(valueOptions.begin(), valueOptions.end(), arg) != valueOptions.end()) {
      if (i + 1 >= args.size()) throw UsageError{arg + " needs a value"};
      if (parsed.values.count(arg) != 0) throw UsageError{arg + " given twice"};
      parsed.values[arg] = args[++i];
    } else if (std::find(listOptions.begin(), listOptions.end(), arg) != listOptions.end()) {
      if (i + 1 >= args.size()) throw UsageError{arg + " needs a value"};
      parsed.lists[arg].push_back(args[++i]);
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

// A whole number from `min` to `max` (at most 18 digits), or a usage error
// naming `option`.
std::uint64_t WholeNumber(const Arguments& args, const std::string& option, std::uint64_t min, std::uint64_t max) {
  const std::string& text = args.values.at(option);
  const bool digits = !text.empty() && text.size() <= 18 && text.find_first_not_of("0123456789") == std::string::npos;
  const std::uint64_t number = digits ? std::stoull(text) : 0;
  if (!digits || number < min || number > max) {
    throw UsageError{option + " takes a whole number from " + std::to_string(min) + " to " + std::to_string(max) +
                     ", not " + text};
  }
  return number;
}

// The day --expires names, checked as a date.
std::string ExpiryDate(const Arguments& args) {
  if (args.values.count("--expires") == 0) return "";
  const std::string& date = args.values.at("--expires");
  if (!EndOfDayUtc(date)) throw UsageError{"--expires takes a date YYYY-MM-DD, not " + date};
  return date;
}

// The public key (SubjectPublicKeyInfo, DER) in the PEM file `keyPath`.
std::string ReadPublicKey(Platform& platform, const std::string& keyPath) {
  std::string pem;
  try {
    pem = ReadSmallFile(platform, std::filesystem::absolute(keyPath).string(), 64 * 1024);
  } catch (const std::exception& e) {
    throw PublishError("cannot read the public key " + keyPath + ": " + e.what());
  }
  const auto der = DecodePublicKeyPem(pem);
  if (!der) throw PublishError(keyPath + ": " + WhyNoPublicKey(pem));
  return *der;
}

int CertifyCommand(const std::vector<std::string>& argv) {
  const Arguments args = Parse(argv, {"--root", "--key", "--sequence", "--expires"}, {});
  const std::string out = OneTarget(args, "certificate file OUT");
  for (const char* required : {"--root", "--key", "--sequence"}) {
    if (args.values.count(required) == 0) throw UsageError{std::string(required) + " is required"};
  }
  KeyCertificate certificate;
  certificate.sequence = WholeNumber(args, "--sequence", 1, 999999999999999999u);
  const std::string expires = ExpiryDate(args);
  const std::unique_ptr<Platform> platform = CreateSystemPlatform();
  if (!expires.empty()) {
    certificate.expires = *EndOfDayUtc(expires);
    if (*ParseUtcTime(certificate.expires) < platform->UtcSeconds()) {
      throw PublishError("the expiry " + expires + " has passed: the certificate would be void from the start");
    }
  }
  certificate.key = ReadPublicKey(*platform, args.values.at("--key"));
  const PrivateKey root(args.values.at("--root"));
  if (root.PublicKeySpki() == certificate.key) throw PublishError("--key is the root key's own public half");
  WriteNewFile(std::filesystem::absolute(out).string(), SignCertificate(certificate, root));
  std::cout << "certificate: " << std::filesystem::absolute(out).lexically_normal().string() << "\n"
            << "release key: " << KeyFingerprint(*platform, certificate.key) << "\n"
            << "sequence:    " << certificate.sequence << "\n"
            << "expires:     " << (certificate.expires.empty() ? "never" : certificate.expires) << "\n"
            << "root key:    " << KeyFingerprint(*platform, root.PublicKeySpki()) << "\n"
            << "Stage with the release key and this certificate:\n"
            << "  pellarion-publish stage --key RELEASE-PRIVATE.pem --certificate " << out << " ...\n";
  return 0;
}

int StageCommand(const std::vector<std::string>& argv) {
  const Arguments args = Parse(argv,
                               {"--app", "--updater", "--key", "--previous", "--release", "--expires", "--rollout",
                                "--certificate"},
                               {"--share"}, {"--channel", "--delta-from"});
  StageRequest request;
  request.out = OneTarget(args, "output folder OUT");
  for (const char* required : {"--app", "--updater"}) {
    if (args.values.count(required) == 0) throw UsageError{std::string(required) + " is required"};
  }
  request.application = args.values.at("--app");
  request.updater = args.values.at("--updater");
  if (args.values.count("--key")) request.privateKey = args.values.at("--key");
  if (args.values.count("--previous")) request.previous = args.values.at("--previous");
  if (args.values.count("--certificate")) request.certificate = args.values.at("--certificate");
  request.expires = ExpiryDate(args);
  if (args.values.count("--release")) request.release = WholeNumber(args, "--release", 1, 999999999999999999u);
  if (args.values.count("--rollout")) request.rollout = static_cast<int>(WholeNumber(args, "--rollout", 0, 100));
  for (const std::string& channel : args.List("--channel")) {
    if (!IsChannelName(channel)) {
      throw UsageError{"--channel takes server, share or a host name in lower case (a-z, 0-9, '.', '-'), not " +
                       channel};
    }
    if (std::find(request.channels.begin(), request.channels.end(), channel) != request.channels.end()) {
      throw UsageError{"--channel " + channel + " given twice"};
    }
    request.channels.push_back(channel);
  }
  const bool described = request.release || !request.expires.empty() || args.values.count("--rollout") ||
                         !request.channels.empty() || !request.certificate.empty();
  if (request.privateKey.empty() && described) {
    throw UsageError{"--release, --expires, --rollout, --channel and --certificate describe a signed release: "
                     "they need --key"};
  }
  request.share = args.flags.count("--share") != 0;
  if (!args.List("--delta-from").empty()) {
    request.deltaFrom = args.List("--delta-from");
    if (request.privateKey.empty()) {
      throw UsageError{"--delta-from makes deltas that the signed release description binds: it needs --key"};
    }
    if (request.share) throw UsageError{"--delta-from is for a server: a share's updaters copy whole files"};
  }
  const std::unique_ptr<Platform> platform = CreateSystemPlatform();
  Stage(*platform, request, std::cout);
  return 0;
}

int VerifyCommand(const std::vector<std::string>& argv) {
  const Arguments args = Parse(argv, {"--key"}, {});
  const std::string target = OneTarget(args, "URL or folder");
  const std::unique_ptr<Platform> platform = CreateSystemPlatform();
  const std::string spki = args.values.count("--key") ? ReadPublicKey(*platform, args.values.at("--key")) : "";
  const int problems = VerifyTree(*platform, target, spki, std::cout);
  std::cout << (problems == 0 ? "verified: no problem found\n"
                              : std::to_string(problems) + (problems == 1 ? " problem" : " problems") + " found\n");
  return problems == 0 ? 0 : 1;
}

int FleetCommand(const std::vector<std::string>& argv) {
  const Arguments args = Parse(argv, {"--days", "--svg"}, {});
  if (args.positional.empty()) throw UsageError{"expected at least one access log"};
  int days = 7;
  if (args.values.count("--days")) {
    const std::string& text = args.values.at("--days");
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(text) == 0) {
      throw UsageError{"--days takes a whole number of days from 1 on, not " + text};
    }
    days = std::stoi(text);
  }
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
      std::chrono::system_clock::now().time_since_epoch()).count();
  FleetCounter counter(days, now);
  int unread = 0;
  for (const auto& argument : args.positional) {
    const std::vector<std::string> logs = LogsNamedBy(argument);
    if (logs.empty()) {
      std::cout.flush();
      std::cerr << "pellarion-publish: note: no log matches " << argument << "; skipped\n";
    }
    for (const auto& log : logs) {
      try {
        ReadAccessLog(log, counter);
      } catch (const std::exception& e) {
        std::cout.flush();
        std::cerr << "pellarion-publish: " << e.what() << "\n";
        ++unread;
      }
    }
  }
  const FleetReport report = counter.Report();
  std::cout << FleetText(report);
  if (args.values.count("--svg")) {
    const std::string& svg = args.values.at("--svg");
    std::ofstream file(std::filesystem::path(std::u8string(svg.begin(), svg.end())), std::ios::binary);
    file << FleetSvg(report);
    file.close();
    if (!file) throw PublishError("cannot write the chart " + svg);
    std::cout << "chart: " << std::filesystem::absolute(svg).lexically_normal().string() << "\n";
  }
  return unread == 0 ? 0 : 1;
}

// An output stream with every line's control characters escaped: what the
// tool prints comes in part from servers, manifests and files. The line
// ends the tool writes itself stay line ends.
class EscapingLines : public std::streambuf {
 public:
  explicit EscapingLines(std::streambuf* out) : out_(out) {}
  std::streambuf* Target() const { return out_; }
  ~EscapingLines() override { sync(); }

 protected:
  int overflow(int c) override {
    if (c == traits_type::eof()) return 0;
    if (c == '\n') {
      const std::string line = EscapeControls(line_) + "\n";
      line_.clear();
      return out_->sputn(line.data(), static_cast<std::streamsize>(line.size())) ==
                     static_cast<std::streamsize>(line.size())
                 ? c
                 : traits_type::eof();
    }
    line_ += static_cast<char>(c);
    return c;
  }
  int sync() override {
    if (!line_.empty()) {
      const std::string rest = EscapeControls(line_);
      line_.clear();
      out_->sputn(rest.data(), static_cast<std::streamsize>(rest.size()));
    }
    return out_->pubsync();
  }

 private:
  std::streambuf* out_;
  std::string line_;
};

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    (args.empty() ? std::cerr : std::cout) << Usage();
    return args.empty() ? 2 : 0;
  }
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  for (const auto& arg : rest) {
    if (arg == "--help" || arg == "-h") {
      std::cout << Usage();
      return 0;
    }
  }
  // Both streams escape what they print, line by line; the original
  // buffers come back before the streams are torn down.
  EscapingLines escapedOut(std::cout.rdbuf()), escapedErr(std::cerr.rdbuf());
  std::cout.rdbuf(&escapedOut);
  std::cerr.rdbuf(&escapedErr);
  struct Restore {
    EscapingLines& out;
    EscapingLines& err;
    ~Restore() {
      std::cout.flush();
      std::cerr.flush();
      std::cout.rdbuf(out.Target());
      std::cerr.rdbuf(err.Target());
    }
  } restore{escapedOut, escapedErr};
  try {
    if (args[0] == "keygen") return Keygen(rest);
    if (args[0] == "certify") return CertifyCommand(rest);
    if (args[0] == "stage") return StageCommand(rest);
    if (args[0] == "verify") return VerifyCommand(rest);
    if (args[0] == "fleet") return FleetCommand(rest);
    throw UsageError{"unknown command " + args[0]};
  } catch (const UsageError& usage) {
    std::cout.flush();
    std::cerr << "pellarion-publish: " << usage.text << "\n\n" << Usage();
    return 2;
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << "pellarion-publish: " << e.what() << "\n";
    return 1;
  }
}
