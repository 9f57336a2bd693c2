# Every dependency comes from a Debian 12 package installed by scripts/setup.

set(Boost_NO_WARN_NEW_VERSIONS ON)
find_package(Boost 1.81 EXACT REQUIRED)
find_package(Threads REQUIRED)
find_package(SQLite3 REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)
find_package(fmt REQUIRED)
find_package(spdlog REQUIRED)
find_package(CURL REQUIRED)
find_package(OpenSSL REQUIRED)

if(ORVANTA_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
if(ORVANTA_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
