# liblz4 from the system. The static archive is preferred so the extension module
# carries its own copy and needs nothing of liblz4 at run time beyond itself.
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(LZ4 QUIET liblz4)
endif()
if(NOT LZ4_FOUND)
  message(FATAL_ERROR
    "liblz4 not found: install its development files (Debian: apt-get install liblz4-dev pkg-config)")
endif()

find_library(LZ4_STATIC_LIBRARY NAMES liblz4.a HINTS ${LZ4_LIBRARY_DIRS} NO_CACHE)
add_library(zel_lz4 INTERFACE)
target_include_directories(zel_lz4 INTERFACE ${LZ4_INCLUDE_DIRS})
if(LZ4_STATIC_LIBRARY)
  target_link_libraries(zel_lz4 INTERFACE ${LZ4_STATIC_LIBRARY})
else()
  target_link_directories(zel_lz4 INTERFACE ${LZ4_LIBRARY_DIRS})
  target_link_libraries(zel_lz4 INTERFACE ${LZ4_LIBRARIES})
endif()
