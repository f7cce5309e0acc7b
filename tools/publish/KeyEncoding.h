// The publisher's P-256 keys in the PEM files both builds of the tool read
// and write, encoded and decoded without a cryptographic library, so that a
// system whose cryptography knows only raw numbers (CNG) uses the same files
// as OpenSSL:
//   - the private key as PKCS#8 ("BEGIN PRIVATE KEY"), as OpenSSL writes it;
//     the SEC1 form ("BEGIN EC PRIVATE KEY", from `openssl ecparam -genkey`)
//     is read too;
//   - the public key as SubjectPublicKeyInfo ("BEGIN PUBLIC KEY");
//   - a signature as DER (SEQUENCE of the INTEGERs r and s).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pellarion::publish {

// A P-256 key pair as numbers, each 32 big-endian bytes: the private scalar
// d and the public point (x, y).
struct P256Numbers {
  std::string d, x, y;
};

// PKCS#8 PEM of the pair (with the public point inside, as OpenSSL writes).
std::string EncodePrivateKeyPem(const P256Numbers& key);
// The pair in the first private key block of `pem`, PKCS#8 or SEC1. Nothing,
// and `why` says why, when there is none, it is not a P-256 key or it lacks
// its public point.
std::optional<P256Numbers> DecodePrivateKeyPem(std::string_view pem, std::string& why);

// Why `pem`, given where a public key is wanted, holds none: a private key
// given in its place is named as such.
std::string WhyNoPublicKey(std::string_view pem);

// SubjectPublicKeyInfo DER of the point, as the updater carries it.
std::string P256Spki(const std::string& x, const std::string& y);
// "-----BEGIN PUBLIC KEY-----" PEM of SubjectPublicKeyInfo DER.
std::string EncodePublicKeyPem(const std::string& spki);

// The DER signature of r || s (64 bytes).
std::string DerSignature(std::string_view rs);

}  // namespace pellarion::publish
