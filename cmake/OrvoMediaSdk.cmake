# The host SDK: what `cmake --install` and the release archive contain.
#
#   bin/ORVO.Media.dll          stripped; its debug information is bin/ORVO.Media.dll.debug,
#   bin/ORVO.Media.dll.debug    found through the DLL's .gnu_debuglink section
#   bin/orvo-play.exe, bin/orvo-hostcheck.exe   sample hosts
#   lib/ORVO.Media.lib          import library for MSVC's linker and lld-link
#   lib/libORVO.Media.dll.a     import library for MinGW
#   include/OrvoMedia.h
#   lib/cmake/OrvoMedia/        find_package(OrvoMedia): imported target OrvoMedia::OrvoMedia
#   share/doc/OrvoMedia/        README, host guide, licence and third-party notices
include(CMakePackageConfigHelpers)

set(ORVO_PACKAGE_CONFIG_DIR lib/cmake/OrvoMedia)
set(ORVO_PACKAGE_DOC_DIR share/doc/OrvoMedia)

# Debug information for the library's own code, so that the separate debug file is worth keeping.
target_compile_options(orvo_core PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-g>)
target_compile_options(orvo_media PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-g>)

# Split right after linking, so the tests run exactly the DLL that ships.
if(NOT CMAKE_OBJCOPY)
  message(FATAL_ERROR "objcopy not found: set CMAKE_OBJCOPY in the toolchain file")
endif()
add_custom_command(TARGET orvo_media POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:orvo_media> $<TARGET_FILE:orvo_media>.debug
    COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=$<TARGET_FILE:orvo_media>.debug
            $<TARGET_FILE:orvo_media>
    WORKING_DIRECTORY $<TARGET_FILE_DIR:orvo_media>
    COMMENT "Moving the debug information of ORVO.Media.dll into ORVO.Media.dll.debug"
    VERBATIM)

# MSVC-format import library from the export list; MinGW's linker makes libORVO.Media.dll.a itself.
find_program(ORVO_DLLTOOL NAMES llvm-dlltool llvm-dlltool-16 llvm-dlltool-15 llvm-dlltool-14 REQUIRED)
set(ORVO_MSVC_IMPORT_LIBRARY ${CMAKE_BINARY_DIR}/lib/ORVO.Media.lib)
add_custom_command(OUTPUT ${ORVO_MSVC_IMPORT_LIBRARY}
    COMMAND ${ORVO_DLLTOOL} -m i386:x86-64 -d ${CMAKE_SOURCE_DIR}/src/api/ORVO.Media.def -D ORVO.Media.dll
            -l ${ORVO_MSVC_IMPORT_LIBRARY}
    DEPENDS ${CMAKE_SOURCE_DIR}/src/api/ORVO.Media.def
    COMMENT "Making the MSVC import library ORVO.Media.lib"
    VERBATIM)
add_custom_target(orvo_media_msvc_import_library ALL DEPENDS ${ORVO_MSVC_IMPORT_LIBRARY})

install(TARGETS orvo_media RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
install(FILES $<TARGET_FILE:orvo_media>.debug DESTINATION bin)
install(FILES ${ORVO_MSVC_IMPORT_LIBRARY} DESTINATION lib)
install(FILES include/OrvoMedia.h DESTINATION include)
install(FILES README.md LICENSE.txt THIRD-PARTY-NOTICES.txt docs/host-guide.md DESTINATION ${ORVO_PACKAGE_DOC_DIR})

configure_package_config_file(cmake/OrvoMediaConfig.cmake.in ${CMAKE_BINARY_DIR}/OrvoMediaConfig.cmake
    INSTALL_DESTINATION ${ORVO_PACKAGE_CONFIG_DIR})
# Same major version; the version file also refuses 32-bit consumers (the DLL is 64-bit only).
write_basic_package_version_file(${CMAKE_BINARY_DIR}/OrvoMediaConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/OrvoMediaConfig.cmake ${CMAKE_BINARY_DIR}/OrvoMediaConfigVersion.cmake
    DESTINATION ${ORVO_PACKAGE_CONFIG_DIR})

# The release archive: cpack in the build folder writes ORVO.Media-<version>-win64.zip.
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME ORVO.Media)
set(CPACK_PACKAGE_VENDOR "ORVO.Media maintainers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME ORVO.Media-${PROJECT_VERSION}-win64)
include(CPack)
