# The Debian packages, made by CPack from one install of the tree (scripts/package configures a
# tree for /usr, where GNUInstallDirs gives the multiarch library directory):
#
#   component    package           contents
#   runtime      libolm-vout1      the shared library (vout/CMakeLists.txt)
#   development  libolm-vout-dev   header, .so link, pkg-config file, CMake package
#   program      lumivarex         the programs, their manual pages and the demo video
#
# A further program goes into the lumivarex package with one more
#   install(TARGETS <program> RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
# (and its manual page beside lumivarex.1, which lintian asks for).

set(LUMIVAREX_PACKAGE_CONTACT "Lumivarex developers <lumivarex@example.org>" CACHE STRING
    "Maintainer of the Debian packages")

# Every package carries its copyright file and the changelog, compressed as Debian wants
# (gzip -9n: best compression, no name or time stamp).
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/changelog LUMIVAREX_CHANGELOG_HEAD LIMIT_COUNT 1)
if(NOT LUMIVAREX_CHANGELOG_HEAD MATCHES "^lumivarex \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/changelog must begin with an entry for ${PROJECT_VERSION}")
endif()
set(PACKAGE_DOCS ${CMAKE_BINARY_DIR}/packaging)
add_custom_command(OUTPUT ${PACKAGE_DOCS}/changelog.gz ${PACKAGE_DOCS}/lumivarex.1.gz
        ${PACKAGE_DOCS}/olm_vout_conform.1.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PACKAGE_DOCS}
    COMMAND gzip -9nc ${CMAKE_CURRENT_LIST_DIR}/changelog > ${PACKAGE_DOCS}/changelog.gz
    COMMAND gzip -9nc ${CMAKE_CURRENT_LIST_DIR}/lumivarex.1 > ${PACKAGE_DOCS}/lumivarex.1.gz
    COMMAND gzip -9nc ${CMAKE_CURRENT_LIST_DIR}/olm_vout_conform.1 >
        ${PACKAGE_DOCS}/olm_vout_conform.1.gz
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog ${CMAKE_CURRENT_LIST_DIR}/lumivarex.1
        ${CMAKE_CURRENT_LIST_DIR}/olm_vout_conform.1)
add_custom_target(package_docs ALL DEPENDS ${PACKAGE_DOCS}/changelog.gz
    ${PACKAGE_DOCS}/lumivarex.1.gz ${PACKAGE_DOCS}/olm_vout_conform.1.gz)

set(LUMIVAREX_PACKAGES runtime libolm-vout1 development libolm-vout-dev program lumivarex)
while(LUMIVAREX_PACKAGES)
    list(POP_FRONT LUMIVAREX_PACKAGES component package)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${PACKAGE_DOCS}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
    string(TOUPPER ${component} COMPONENT)
    set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_NAME ${package})
endwhile()
install(FILES ${PACKAGE_DOCS}/lumivarex.1.gz ${PACKAGE_DOCS}/olm_vout_conform.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)

set(CPACK_PACKAGE_NAME lumivarex)
set(CPACK_PACKAGE_VENDOR "Lumivarex")
set(CPACK_PACKAGE_CONTACT ${LUMIVAREX_PACKAGE_CONTACT})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development program)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE lumivarex)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Packages of the same version depend on each other exactly (the components' DEPENDS below).
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# dpkg-shlibdeps finds what the binaries need; libolm_vout itself is found in the build tree
# and covered by the dependency on libolm-vout1.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})

set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The shlibs file of libolm-vout1 (only that package holds a shared library).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# ldconfig runs through dpkg's trigger (triggers), not through maintainer scripts. CPack writes a
# postinst and a postrm that call ldconfig unless the control extras name their own; naming ones
# that do not exist keeps them out altogether (CPack adds only the extras it finds).
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/triggers
    ${CMAKE_CURRENT_LIST_DIR}/none/postinst ${CMAKE_CURRENT_LIST_DIR}/none/postrm)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
# What olm_vout.pc names in Requires.private, for pkg-config --static.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
    "libxcb1-dev, libxcb-shm0-dev, libxcb-present-dev, libwayland-dev, libswscale-dev, libavutil-dev")

set(CPACK_DEBIAN_PROGRAM_PACKAGE_SECTION video)
# Qt's Wayland platform, for the window to run natively on a Wayland session (without it the
# program runs on XWayland).
set(CPACK_DEBIAN_PROGRAM_PACKAGE_RECOMMENDS qtwayland5)

include(CPack)

cpack_add_component(runtime DISPLAY_NAME "olm_vout library"
    DESCRIPTION "X11 and Wayland video output for planar YUV pictures (library)
olm_vout draws planar YUV 4:2:0 pictures into a native X11 window or into a
rectangle of a Wayland surface: it converts them on a render thread of its
own, keeps each picture's colour matrix, range and sample aspect, and presents
them at the display's refresh through X Present where the server offers it,
with shared memory, or as subsurfaces the Wayland compositor scales.
.
This package contains the shared library.")
cpack_add_component(development DISPLAY_NAME "olm_vout development files" DEPENDS runtime
    DESCRIPTION "X11 and Wayland video output for planar YUV pictures (development files)
olm_vout draws planar YUV 4:2:0 pictures into a native X11 window or into a
rectangle of a Wayland surface: it converts them on a render thread of its
own and presents them at the display's refresh.
.
This package contains the header olm_vout.h, the pkg-config file and the
CMake package (find_package(olm_vout) gives olm_vout::olm_vout).")
cpack_add_component(program DISPLAY_NAME "lumivarex" DEPENDS runtime
    DESCRIPTION "test bench for the olm_vout video output
lumivarex is a small Qt desktop program that creates an olm_vout video output
on its video surface, steps its display mode, and plays a video file decoded
with FFmpeg into it at a fixed pace, with pause and stop.
.
This package contains the program, its manual page and a demo video that the
program plays by default.")
