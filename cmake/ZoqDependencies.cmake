# Every dependency is a Debian 12 package that ./dev installs.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
find_package(nlohmann_json 3.11 REQUIRED)
find_package(CLI11 2 REQUIRED)
find_package(GTest REQUIRED)
pkg_check_modules(utf8proc REQUIRED IMPORTED_TARGET libutf8proc)
pkg_check_modules(pcre2 REQUIRED IMPORTED_TARGET libpcre2-8)
<<<<<<< HEAD
pkg_check_modules(soxr REQUIRED IMPORTED_TARGET soxr)
=======
pkg_check_modules(libsecret REQUIRED IMPORTED_TARGET libsecret-1)
>>>>>>> secrets
if(ZOQ_BENCH)
  find_package(benchmark REQUIRED)
endif()
