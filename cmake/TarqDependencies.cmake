# Every dependency comes from Debian's packages; scripts/install-deps installs
# the missing ones.
find_package(Threads REQUIRED)
find_package(CURL REQUIRED)
find_package(nlohmann_json 3.10 REQUIRED)
find_package(PkgConfig REQUIRED)

if(TARQ_BUILD_TOOLS OR TARQ_BUILD_DAEMON OR TARQ_BUILD_TESTS OR TARQ_BUILD_BENCHMARKS)
  pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
  find_package(CLI11 REQUIRED)
endif()
if(TARQ_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
if(TARQ_BUILD_BENCHMARKS)
  find_package(benchmark REQUIRED)
endif()
if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND (TARQ_BUILD_DAEMON OR TARQ_BUILD_TOOLS OR TARQ_FUZZ))
  # The daemon gives its engine a user and capabilities of its own with
  # libcap's process API.
  pkg_check_modules(LIBCAP REQUIRED IMPORTED_TARGET libcap)
endif()
