# Compiler warnings: every target of the project links tessaroll_warnings (PRIVATE), so the
# options stay on our own code and never reach a consumer or a dependency's build.
add_library(tessaroll_warnings INTERFACE)
target_compile_options(tessaroll_warnings INTERFACE -Wall -Wextra -Wpedantic -Wno-unused-parameter
  $<$<BOOL:${TESSAROLL_WERROR}>:-Werror>)
# The adapter plug-in is loaded and unloaded once per session: a "unique" symbol (an inline
# variable of a template) would make the first copy that defines it impossible to unload,
# bind every later copy to it, and let a new copy at a reused file identity come back as
# the old one, with an evicted session's state. Clang makes no such symbols (and knows no
# such option).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_compile_options(-fno-gnu-unique)
endif()
# The sanitizers apply to every target, since both sides of a call must agree on them.
if(TESSAROLL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(TESSAROLL_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
if(TESSAROLL_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
