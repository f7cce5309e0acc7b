# Compiles the publisher's public key into the updater: writes `header` with
# the PEM block of the file `key_path` (nothing when `key_path` is empty).
# Configuring fails unless the file holds an SPKI "PUBLIC KEY" block of an
# ECDSA P-256 key, so that a build meant to check signatures cannot come out
# without its key or with a key the system would refuse at every run.
#
# Also usable as a script, for checking a key file by itself:
#   cmake -DPELLARION_PUBLISHER_KEY=key.pem -DOUT=header.h -P PublisherKey.cmake

# Every uncompressed P-256 SubjectPublicKeyInfo (91 bytes) starts with the
# same algorithm identifiers, so its base64 starts with this text and is 124
# characters long.
set(PELLARION_P256_SPKI_BASE64_PREFIX "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE")

function(pellarion_publisher_key_header key_path header)
  set(PUBLISHER_KEY_PEM "")
  if(key_path)
    if(NOT EXISTS "${key_path}" OR IS_DIRECTORY "${key_path}")
      message(FATAL_ERROR "PELLARION_PUBLISHER_KEY: no such file: ${key_path}")
    endif()
    file(READ "${key_path}" text)
    string(REGEX MATCH "-----BEGIN PUBLIC KEY-----[\r\n]+([A-Za-z0-9+/=\r\n]+)-----END PUBLIC KEY-----"
           block "${text}")
    if(NOT block)
      message(FATAL_ERROR "PELLARION_PUBLISHER_KEY: ${key_path} holds no PEM PUBLIC KEY block "
                          "(a private key or a certificate is not the publisher's public key)")
    endif()
    string(REGEX REPLACE "[\r\n]" "" body "${CMAKE_MATCH_1}")
    string(LENGTH "${body}" length)
    string(FIND "${body}" "${PELLARION_P256_SPKI_BASE64_PREFIX}" at)
    if(NOT at EQUAL 0 OR NOT length EQUAL 124)
      message(FATAL_ERROR "PELLARION_PUBLISHER_KEY: ${key_path} is not an ECDSA P-256 public key "
                          "(uncompressed point)")
    endif()
    set(PUBLISHER_KEY_PEM "\n${block}\n")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${key_path}")
  endif()
  configure_file("${CMAKE_CURRENT_FUNCTION_LIST_DIR}/PublisherKeyPem.h.in" "${header}" @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  pellarion_publisher_key_header("${PELLARION_PUBLISHER_KEY}" "${OUT}")
endif()
