# zstd, for binary patches: two targets the rest of the build links.
#   pellarion_zstd_decoder  decompression only: what update.exe needs to apply a patch
#   pellarion_zstd          compression too: what the publisher's tool needs to make one
# Linux links Debian's libzstd (libzstd-dev) for both. The Windows builds
# compile zstd's own source, vendored unchanged in third_party/zstd, into
# static libraries: the decoder with zstd's switches for a small program
# (what embedders such as busybox set), the compressor on top of that same
# decoder, so that no program carries two differently built copies of it.
if(WIN32)
  set(ZSTD_LIB ${CMAKE_SOURCE_DIR}/third_party/zstd/lib)
  add_library(pellarion_zstd_decoder STATIC
    ${ZSTD_LIB}/common/debug.c
    ${ZSTD_LIB}/common/entropy_common.c
    ${ZSTD_LIB}/common/error_private.c
    ${ZSTD_LIB}/common/fse_decompress.c
    ${ZSTD_LIB}/common/xxhash.c
    ${ZSTD_LIB}/common/zstd_common.c
    ${ZSTD_LIB}/decompress/huf_decompress.c
    ${ZSTD_LIB}/decompress/zstd_ddict.c
    ${ZSTD_LIB}/decompress/zstd_decompress.c
    ${ZSTD_LIB}/decompress/zstd_decompress_block.c)
  target_include_directories(pellarion_zstd_decoder SYSTEM PUBLIC ${ZSTD_LIB})
  # No trace hooks, no assembly (MinGW's assembler is not the one zstd's
  # .S file is written for), no frames of zstd's pre-1.0 formats, one thread.
  set(ZSTD_COMMON_DEFINITIONS ZSTD_NO_TRACE ZSTD_DISABLE_ASM ZSTD_LEGACY_SUPPORT=0)
  # Size before speed, as zstd's own ZSTD_LIB_MINIFY sets it: no forced
  # inlining, one Huffman decoder and one sequence decoder instead of two
  # each, no second copy of them for processors with BMI2, no error texts
  # (the program writes its own).
  target_compile_definitions(pellarion_zstd_decoder PRIVATE ${ZSTD_COMMON_DEFINITIONS}
    ZSTD_NO_INLINE HUF_FORCE_DECOMPRESS_X1 ZSTD_FORCE_DECOMPRESS_SEQUENCES_SHORT DYNAMIC_BMI2=0
    ZSTD_STRIP_ERROR_STRINGS)
  # zstd's code is compiled as its authors wrote it, without our warnings.
  target_compile_options(pellarion_zstd_decoder PRIVATE -w ${PELLARION_LTO_OPTIONS})

  add_library(pellarion_zstd STATIC
    ${ZSTD_LIB}/common/pool.c
    ${ZSTD_LIB}/common/threading.c
    ${ZSTD_LIB}/compress/fse_compress.c
    ${ZSTD_LIB}/compress/hist.c
    ${ZSTD_LIB}/compress/huf_compress.c
    ${ZSTD_LIB}/compress/zstd_compress.c
    ${ZSTD_LIB}/compress/zstd_compress_literals.c
    ${ZSTD_LIB}/compress/zstd_compress_sequences.c
    ${ZSTD_LIB}/compress/zstd_compress_superblock.c
    ${ZSTD_LIB}/compress/zstd_double_fast.c
    ${ZSTD_LIB}/compress/zstd_fast.c
    ${ZSTD_LIB}/compress/zstd_lazy.c
    ${ZSTD_LIB}/compress/zstd_ldm.c
    ${ZSTD_LIB}/compress/zstd_opt.c
    ${ZSTD_LIB}/compress/zstdmt_compress.c)
  target_compile_definitions(pellarion_zstd PRIVATE ${ZSTD_COMMON_DEFINITIONS})
  # The publisher's tool compresses at the highest levels: speed, not size.
  target_compile_options(pellarion_zstd PRIVATE -w -O2)
  target_link_libraries(pellarion_zstd PUBLIC pellarion_zstd_decoder)
else()
  find_package(zstd 1.5 REQUIRED CONFIG)
  add_library(pellarion_zstd_decoder INTERFACE)
  target_link_libraries(pellarion_zstd_decoder INTERFACE zstd::libzstd_shared)
  add_library(pellarion_zstd INTERFACE)
  target_link_libraries(pellarion_zstd INTERFACE zstd::libzstd_shared)
endif()
