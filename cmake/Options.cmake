# Compiler warnings and sanitizers for every target of the project.
add_compile_options(-Wall -Wextra -Wpedantic -Wno-unused-parameter)
# The adapter plug-in is loaded and unloaded once per session: a "unique" symbol (an inline
# variable of a template) would make the first copy that defines it impossible to unload,
# bind every later copy to it, and let a new copy at a reused file identity come back as
# the old one, with an evicted session's state.
add_compile_options(-fno-gnu-unique)
if(TESSAROLL_WERROR)
  add_compile_options(-Werror)
endif()
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
