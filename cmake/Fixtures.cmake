# Splits a dotted four-part version ("3.1.0.12") into <prefix>_MAJOR,
# <prefix>_MINOR, <prefix>_BUILD and <prefix>_REVISION.
function(pellarion_split_version version prefix)
  string(REPLACE "." ";" parts ${version})
  list(GET parts 0 major)
  list(GET parts 1 minor)
  list(GET parts 2 build)
  list(GET parts 3 revision)
  set(${prefix}_MAJOR ${major} PARENT_SCOPE)
  set(${prefix}_MINOR ${minor} PARENT_SCOPE)
  set(${prefix}_BUILD ${build} PARENT_SCOPE)
  set(${prefix}_REVISION ${revision} PARENT_SCOPE)
endfunction()

# Compile definitions that give a test fixture that version record.
function(pellarion_fixture_version target version)
  pellarion_split_version(${version} V)
  target_compile_definitions(${target} PRIVATE FV_MAJOR=${V_MAJOR} FV_MINOR=${V_MINOR}
                             FV_BUILD=${V_BUILD} FV_REVISION=${V_REVISION})
endfunction()
