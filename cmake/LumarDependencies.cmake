# Third-party libraries: nlohmann/json (header only), libsodium, GoogleTest.
# The native build uses Debian's packages; the Windows build uses the static
# mingw libsodium that scripts/setup.sh builds and GoogleTest from its sources.

set(LUMAR_CACHE_DIR "/var/cache/lumar-helper" CACHE PATH "Where scripts/setup.sh keeps built dependencies")

# nlohmann/json: put only the folder that holds "nlohmann" on the include
# path, so a cross build never sees the host's /usr/include.
find_path(NLOHMANN_JSON_INCLUDE_PARENT nlohmann/json.hpp
  PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH REQUIRED)
set(LUMAR_JSON_DIR "${CMAKE_BINARY_DIR}/third_party/json")
file(MAKE_DIRECTORY "${LUMAR_JSON_DIR}")
file(CREATE_LINK "${NLOHMANN_JSON_INCLUDE_PARENT}/nlohmann" "${LUMAR_JSON_DIR}/nlohmann" SYMBOLIC)
add_library(lumar_json INTERFACE)
target_include_directories(lumar_json SYSTEM INTERFACE "${LUMAR_JSON_DIR}")
target_compile_definitions(lumar_json INTERFACE JSON_NOEXCEPTION)

if(WIN32)
  set(LUMAR_SODIUM_DIR "${LUMAR_CACHE_DIR}/sodium-mingw")
  if(NOT EXISTS "${LUMAR_SODIUM_DIR}/lib/libsodium.a")
    message(FATAL_ERROR "libsodium for mingw is missing: run scripts/setup.sh")
  endif()
  add_library(lumar_sodium STATIC IMPORTED)
  set_target_properties(lumar_sodium PROPERTIES
    IMPORTED_LOCATION "${LUMAR_SODIUM_DIR}/lib/libsodium.a"
    INTERFACE_INCLUDE_DIRECTORIES "${LUMAR_SODIUM_DIR}/include"
    INTERFACE_COMPILE_DEFINITIONS "SODIUM_STATIC")
else()
  find_library(SODIUM_LIBRARY NAMES sodium REQUIRED)
  find_path(SODIUM_INCLUDE_DIR sodium.h REQUIRED)
  add_library(lumar_sodium UNKNOWN IMPORTED)
  set_target_properties(lumar_sodium PROPERTIES
    IMPORTED_LOCATION "${SODIUM_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${SODIUM_INCLUDE_DIR}")
endif()

if(LUMAR_BUILD_TESTS)
  if(WIN32)
    set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest "${CMAKE_BINARY_DIR}/third_party/googletest" EXCLUDE_FROM_ALL)
    foreach(lib gtest gtest_main gmock gmock_main)
      if(NOT TARGET GTest::${lib})
        add_library(GTest::${lib} ALIAS ${lib})
      endif()
    endforeach()
  else()
    find_package(GTest REQUIRED)
  endif()
endif()
