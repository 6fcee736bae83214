# An application of the installed package, built apart from the ZEVA tree:
# copied as CMakeLists.txt next to main.cpp and configured with
# -DCMAKE_PREFIX_PATH=<install prefix> (see scripts/ci.d/30-install.sh).
cmake_minimum_required(VERSION 3.20)
project(zeva_consumer LANGUAGES CXX)

find_package(zeva 3 REQUIRED)

add_executable(zeva_consumer main.cpp)
target_compile_options(zeva_consumer PRIVATE -Wall -Wextra -Werror)
target_link_libraries(zeva_consumer PRIVATE zeva::client)
