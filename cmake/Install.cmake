# `cmake --install`: the library (shared or static), its public headers, a
# CMake package (find_package(corvane_vorn) -> corvane_vorn::corvane_vorn), a
# pkg-config file, and the programs that were built. Included when VORN_INSTALL.
include(CMakePackageConfigHelpers)

# The public headers and every header they include, kept in their folders so
# that host code includes them as the library's own sources do
# ("core/VORN.h") with <prefix>/include/corvane_vorn on its include path.
# Keep this list closed under #include (tests/install checks it compiles).
# None of them includes an internal header or OpenSSL's.
set(VORN_PUBLIC_HEADERS
  core/VORN.h core/NameSpace.h capi/corvane_vorn.h
  encoding/VornBuffer.h
  log/VORNHandler.h)
foreach(header IN LISTS VORN_PUBLIC_HEADERS)
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/corvane_vorn/${folder})
endforeach()
install(FILES ${VORN_GENERATED_INCLUDE_DIR}/log/VORNVersion.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/corvane_vorn/log)

if(APPLE)
  set(VORN_ORIGIN "@loader_path")
else()
  set(VORN_ORIGIN "$ORIGIN")
endif()
file(RELATIVE_PATH VORN_BIN_TO_LIB ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}
     ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR})

install(TARGETS corvane_vorn EXPORT corvane_vornTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET vorn)
  set_target_properties(vorn PROPERTIES INSTALL_RPATH "${VORN_ORIGIN}/${VORN_BIN_TO_LIB}")
  install(TARGETS vorn RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET halyx-proxy-state)
  install(TARGETS halyx-proxy-state RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

set(VORN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/corvane_vorn)
install(EXPORT corvane_vornTargets NAMESPACE corvane_vorn:: DESTINATION ${VORN_CMAKE_DIR})
# A static library's link interface names OpenSSL::Crypto, ZLIB::ZLIB and
# Threads::Threads: the package must find them before its targets load.
if(VORN_LIBRARY_TYPE STREQUAL "STATIC")
  set(VORN_PACKAGE_STATIC ON)
else()
  set(VORN_PACKAGE_STATIC OFF)
endif()
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/corvane_vornConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/corvane_vornConfig.cmake INSTALL_DESTINATION ${VORN_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/corvane_vornConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/corvane_vornConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/corvane_vornConfigVersion.cmake
        DESTINATION ${VORN_CMAKE_DIR})

# pkg-config --static: what linking the static archive needs besides zlib and
# libcrypto (Requires.private): threads and the C++ runtime (a C host links
# with the C driver, which does not add it).
set(VORN_PC_LIBS_PRIVATE "")
if(VORN_LIBRARY_TYPE STREQUAL "STATIC")
  if(CMAKE_THREAD_LIBS_INIT)
    list(APPEND VORN_PC_LIBS_PRIVATE ${CMAKE_THREAD_LIBS_INIT})
  endif()
  foreach(runtime IN LISTS CMAKE_CXX_IMPLICIT_LINK_LIBRARIES)
    if(runtime MATCHES "^(stdc\\+\\+|c\\+\\+)$")
      list(APPEND VORN_PC_LIBS_PRIVATE -l${runtime})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES VORN_PC_LIBS_PRIVATE)
endif()
list(JOIN VORN_PC_LIBS_PRIVATE " " VORN_PC_LIBS_PRIVATE)
if(VORN_PC_LIBS_PRIVATE)
  set(VORN_PC_LIBS_PRIVATE "Libs.private: ${VORN_PC_LIBS_PRIVATE}")
endif()

file(RELATIVE_PATH VORN_PC_TO_PREFIX ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
configure_file(${CMAKE_CURRENT_LIST_DIR}/corvane_vorn.pc.in ${CMAKE_CURRENT_BINARY_DIR}/corvane_vorn.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/corvane_vorn.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
