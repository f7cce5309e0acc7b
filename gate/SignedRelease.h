// The signed release description as a keyed updater takes it: read from
// update.txt, meant for the channel it was read from, signed by the build's
// key (the root) or by a release key the root certified, and current. What
// the updater has trusted so far is kept beside it in the trust record
// (update.release): the highest release per channel and the highest
// certificate sequence, so that an older release or a revoked release key,
// validly signed, cannot be replayed to this folder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Platform.h"
#include "versions/ReleaseDescription.h"

namespace pellarion {

// Where a description was read: the channel whose line of the trust record
// it counts for (kServerChannel or kShareChannel), and for a server its host
// name, in lower case and without a port, which the description may name
// instead of "server".
struct ReadFrom {
  std::string_view channel;
  std::string host;
};

// The update server whose manifest is at `manifestUrl`
// ("https://Updates.Example.com:8443/update/update.txt" -> server,
// "updates.example.com").
ReadFrom ReadFromServer(const std::string& manifestUrl);

// Why a description may not be read where it was, or empty when it may: it
// must name the channel, or, read from a server, that server's host.
std::string CheckChannel(const ReleaseDescription& description, const ReadFrom& where);

struct TrustedRelease {
  std::optional<ReleaseDescription> description;  // nothing: not trusted
  // The sequence of the certificate that vouched for the signing key; 0 when
  // the root key signed the description itself.
  std::uint64_t certificateSequence = 0;
  std::string reason;  // why not; short English text
};

// The description in `text` when it is well formed, meant for `where`,
// signed, and current by `seen` (the trust record) and the platform's clock.
// Signed means: by `rootKeySpki` (DER) itself; or it carries a key
// certificate that the root key signed, that has not expired and whose
// sequence is not below the highest seen, and the key it certifies signed
// the description. A certificate of a higher sequence than any seen replaces
// the release keys before it, and with them the release numbers they
// signed: the description's release is then not compared with the record,
// so that a release key that signed a number far above the real ones, once
// revoked, leaves nothing behind. A failure of the platform is a refusal
// with a reason; nothing throws.
TrustedRelease TrustRelease(Platform& platform, const std::string& text, const std::string& rootKeySpki,
                            const TrustRecord& seen, const ReadFrom& where);

// True when `derSignature` signs the first `length` bytes of `text` with the
// key `spkiDer`. Fails (PlatformError) when the system cannot check.
bool SignedBy(Platform& platform, std::string_view text, std::size_t length, const std::string& derSignature,
              const std::string& spkiDer);

// The trust record at `path`, read for the channel `legacyChannel` (see
// ReadTrustRecord); empty when there is none or it cannot be read.
TrustRecord ReadTrustRecordFile(Platform& platform, const std::string& path, std::string_view legacyChannel);

// The record after `trusted`, read from `where`, was taken: its release for
// that channel, and its certificate's sequence when higher than any seen
// (the release numbers of the keys it replaces are forgotten). True when the
// record changed and must be written.
bool RecordTrusted(TrustRecord& record, const TrustedRelease& trusted, const ReadFrom& where);

// The workstation's random identity for rollouts, kept at `path` as 32
// lower-case hex digits and CR LF: the 16 bytes read back, or, when the file
// is missing, unreadable or malformed, 16 new bytes from the system's random
// source, written there durably (a failure to write them is only logged by
// the continue-on-error rule); `made` is then set. Fails (PlatformError)
// only when the system gives no random bytes.
std::string WorkstationIdentity(Platform& platform, const std::string& path, bool& made);

// The workstation's draw for a release, from 0 to 99: the first four bytes,
// big-endian, of the SHA-256 of the identity's 16 bytes followed by the
// release's application SHA-256 and its updater SHA-256 (32 bytes each),
// modulo 100. The same for every run, and drawn afresh for other packages.
// Fails (PlatformError) when the system cannot hash.
int RolloutDraw(Platform& platform, const std::string& identity, const ReleaseDescription& description);

}  // namespace pellarion
