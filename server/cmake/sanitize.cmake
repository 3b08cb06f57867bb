# The native trees under sanitizers, for the tests: DVS_SANITIZE=address,undefined (ASan and
# UBSan, stopping at the first report) or DVS_SANITIZE=thread (TSan). Included by the
# server's, the bench's and the download-folder tree before their targets; set once when
# one is a sub-folder of another. Lean: -O1 and line tables are enough for the reports'
# stacks. scripts/sanitize.sh builds and runs them.
include_guard(GLOBAL)
set(DVS_SANITIZE "" CACHE STRING "Sanitizers for the whole tree: address,undefined or thread (empty: none)")
if(DVS_SANITIZE)
  add_compile_options(-fsanitize=${DVS_SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer -O1 -g1)
  add_link_options(-fsanitize=${DVS_SANITIZE})
endif()
