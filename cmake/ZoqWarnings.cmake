# Warnings and sanitizers apply to every target of the project, not to
# third-party code pulled in through system headers.
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow)
if(ZOQ_WERROR)
  add_compile_options(-Werror)
endif()

if(ZOQ_SANITIZE)
  set(zoqSanitizers -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_compile_options(${zoqSanitizers})
  add_link_options(${zoqSanitizers})
endif()

if(ZOQ_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "ZOQ_FUZZ needs clang (libFuzzer)")
  endif()
  # Instrument everything for coverage; only the fuzz executables link the driver.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
