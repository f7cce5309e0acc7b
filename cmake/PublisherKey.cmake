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

# A static library `name` whose PublisherKey() returns the key of the PEM file
# `key_path` (none when empty). The updater links the build's own; the tests
# link updaters that trust a key of their own.
function(pellarion_publisher_key_library name key_path)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${name})
  pellarion_publisher_key_header("${key_path}" ${dir}/PublisherKeyPem.h)
  add_library(${name} STATIC ${PROJECT_SOURCE_DIR}/app/PublisherKey.cpp)
  target_include_directories(${name} BEFORE PRIVATE ${dir})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC pellarion_versions)
endfunction()

# A key pair for signing in the tests, made once with the openssl command in
# `dir` (publisher-private.pem, publisher-public.pem). Test use only.
function(pellarion_test_signing_key dir)
  if(NOT EXISTS ${dir}/publisher-public.pem)
    file(MAKE_DIRECTORY ${dir})
    execute_process(COMMAND openssl ecparam -name prime256v1 -genkey -noout -out ${dir}/publisher-private.pem
                    RESULT_VARIABLE made1)
    execute_process(COMMAND openssl ec -in ${dir}/publisher-private.pem -pubout -out ${dir}/publisher-public.pem
                    RESULT_VARIABLE made2 ERROR_QUIET)
    if(NOT made1 EQUAL 0 OR NOT made2 EQUAL 0)
      message(FATAL_ERROR "cannot make the tests' signing key with openssl in ${dir}")
    endif()
  endif()
endfunction()
