# Every third-party library comes from Debian's -dev packages (scripts/install-deps.sh).
find_package(Threads REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)
find_package(yaml-cpp REQUIRED)
find_package(CURL REQUIRED)
find_package(CLI11 REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(UTF8PROC REQUIRED IMPORTED_TARGET libutf8proc)

# Standalone Asio is header-only; it has no CMake package of its own.
find_path(ASIO_INCLUDE_DIR asio.hpp REQUIRED)
add_library(vendro_asio INTERFACE)
target_include_directories(vendro_asio SYSTEM INTERFACE ${ASIO_INCLUDE_DIR})
target_compile_definitions(vendro_asio INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED)
target_link_libraries(vendro_asio INTERFACE Threads::Threads)

if(VENDRO_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
# The tool server's HTTP transport, and the tests' stand-in servers, the stand-in site and the
# driver benchmark's local page.
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
# The Rufus stand-in serves TLS with a certificate it makes at start-up.
if(VENDRO_BUILD_STAND_IN)
  find_package(OpenSSL REQUIRED)
endif()
