# Installing the server, its Debian package (CPack) and its MCP bundle (.mcpb):
# `make install`, `make package` and `make bundle` (README.md, "Connect it to
# your MCP host"). Included from the top-level CMakeLists.txt after the server
# target; the packaging tests are registered here too.

include(GNUInstallDirs)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

# The sources are MIT (LICENSE). The server binary contains libfyaml's
# GPL-2 file src/lib/fy-list.h, so the binary as a whole is distributed under
# GPL-2.0 (THIRD-PARTY-NOTICES.txt says why and where its source is).
set(TARNEL_BINARY_LICENSE "GPL-2.0-only")
set(TARNEL_PKG_DIR ${CMAKE_CURRENT_LIST_DIR})
set(TARNEL_PKG_OUT ${CMAKE_BINARY_DIR}/packaging)
set(TARNEL_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/tarnel-mcp-server)
file(MAKE_DIRECTORY ${TARNEL_PKG_OUT})

# BUILD-INFO names the commit and the Debian source packages the binary was
# linked from. It is checked at every build (and rewritten when it changed),
# so that it follows commits that leave the binary as it is.
find_file(TARNEL_JSON_HEADER nlohmann/json.hpp)
set(TARNEL_LINKED_ARGS --linked nlohmann-json=${TARNEL_JSON_HEADER})
if(FYAML_ARCHIVE)
  list(APPEND TARNEL_LINKED_ARGS --linked libfyaml=${FYAML_ARCHIVE})
endif()
if(NOT TARNEL_SANITIZE)
  list(APPEND TARNEL_LINKED_ARGS --static-runtime)
endif()
add_custom_target(build_info ALL
  COMMAND ${Python3_EXECUTABLE} ${TARNEL_PKG_DIR}/build_info.py
          --output ${TARNEL_PKG_OUT}/BUILD-INFO --version ${PROJECT_VERSION}
          --source-dir ${PROJECT_SOURCE_DIR} --compiler ${CMAKE_CXX_COMPILER} ${TARNEL_LINKED_ARGS}
  BYPRODUCTS ${TARNEL_PKG_OUT}/BUILD-INFO
  COMMENT "Recording the build's sources in BUILD-INFO"
  VERBATIM)

# Debian's copyright file: the licence and the notices, one after the other.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/THIRD-PARTY-NOTICES.txt)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE TARNEL_LICENSE_TEXT)
file(READ ${PROJECT_SOURCE_DIR}/THIRD-PARTY-NOTICES.txt TARNEL_NOTICES_TEXT)
file(WRITE ${TARNEL_PKG_OUT}/copyright
  "tarnel-mcp-server ${PROJECT_VERSION}\n\n"
  "The licence of this project's source code (LICENSE), then the licence of the\n"
  "program and the notices of the libraries inside it (THIRD-PARTY-NOTICES.txt).\n"
  "The licence texts are in LICENSES/ beside this file; on Debian systems the GNU\n"
  "General Public Licenses are also in /usr/share/common-licenses/GPL-2 and GPL-3.\n\n"
  "${TARNEL_LICENSE_TEXT}\n\n${TARNEL_NOTICES_TEXT}")

# Everything is in the component "server": staging the bundle installs that
# component, which writes install_manifest_server.txt, not install_manifest.txt.
install(TARGETS tarnel-mcp-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT server)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/THIRD-PARTY-NOTICES.txt
              ${TARNEL_PKG_OUT}/BUILD-INFO ${TARNEL_PKG_OUT}/copyright
        DESTINATION ${TARNEL_DOC_DIR} COMPONENT server)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/LICENSES/ DESTINATION ${TARNEL_DOC_DIR}/LICENSES COMPONENT server)

# The Debian package and the bundle are made from the Linux build; a Windows
# build (build-windows/) only installs, and its binary joins the Linux bundle.
if(WIN32)
  return()
endif()

# The Debian package: build/tarnel-mcp-server_<version>_<arch>.deb, its
# Depends found by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnel-mcp-server)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "tarnel-mcp-server developers <dev@tarnel.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "MCP server giving an AI agent safe access to markdown note vaults")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "A Model Context Protocol server that an AI agent's host starts as a console\n"
  "process. It speaks JSON-RPC over standard input and output and offers twelve\n"
  "tools to search, read and write the markdown notes of a vault, only inside it:\n"
  "creation never overwrites a note, replacements can be guarded by the note's\n"
  "modification time, saves are atomic and runaway writes are refused.")
string(REPLACE ";" "" CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS git)  # clone_vault runs the system git
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)

# The MCP bundle: build/tarnel-mcp-server-<version>.mcpb, packed by the bundle
# tool that packaging/mcpb/package-lock.json pins, installed by `npm ci` into
# build/mcpb-cli (never into the source tree). The Windows build at
# build-windows/tarnel-mcp-server.exe (make bundle makes it first) goes into
# the bundle too.
set(TARNEL_BUNDLE ${CMAKE_BINARY_DIR}/tarnel-mcp-server-${PROJECT_VERSION}.mcpb)
set(TARNEL_MCPB_CLI_DIR ${CMAKE_BINARY_DIR}/mcpb-cli)
set(TARNEL_MCPB ${TARNEL_MCPB_CLI_DIR}/node_modules/.bin/mcpb)
set(TARNEL_WIN32_BINARY ${PROJECT_SOURCE_DIR}/build-windows/tarnel-mcp-server.exe)
find_program(TARNEL_NPM npm)
if(TARNEL_NPM)
  add_custom_command(
    OUTPUT ${TARNEL_MCPB_CLI_DIR}/node_modules/.package-lock.json
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TARNEL_MCPB_CLI_DIR}
    COMMAND ${CMAKE_COMMAND} -E copy ${TARNEL_PKG_DIR}/mcpb/package.json
            ${TARNEL_PKG_DIR}/mcpb/package-lock.json ${TARNEL_MCPB_CLI_DIR}
    COMMAND ${CMAKE_COMMAND} -E chdir ${TARNEL_MCPB_CLI_DIR}
            ${TARNEL_NPM} ci --no-audit --no-fund --loglevel=error
    DEPENDS ${TARNEL_PKG_DIR}/mcpb/package.json ${TARNEL_PKG_DIR}/mcpb/package-lock.json
    COMMENT "Installing the MCP bundle tool (npm ci)")
  add_custom_target(mcpb_cli DEPENDS ${TARNEL_MCPB_CLI_DIR}/node_modules/.package-lock.json)
  add_custom_target(bundle
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${TARNEL_PKG_OUT}/bundle-install
    COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --component server --strip
            --prefix ${TARNEL_PKG_OUT}/bundle-install
    COMMAND ${Python3_EXECUTABLE} ${TARNEL_PKG_DIR}/mcpb/make_bundle.py
            --install-tree ${TARNEL_PKG_OUT}/bundle-install --staging ${TARNEL_PKG_OUT}/bundle
            --output ${TARNEL_BUNDLE} --version ${PROJECT_VERSION} --license ${TARNEL_BINARY_LICENSE}
            --mcpb ${TARNEL_MCPB} --win32-binary ${TARNEL_WIN32_BINARY}
    DEPENDS tarnel-mcp-server build_info mcpb_cli
    COMMENT "Packing ${TARNEL_BUNDLE}"
    VERBATIM)
else()
  add_custom_target(bundle
    COMMAND ${CMAKE_COMMAND} -E echo "make bundle needs npm: ./scripts/install-deps --bundle installs it"
    COMMAND ${CMAKE_COMMAND} -E false)
endif()

# The packaging tests check the artefacts of the Release build in build/
# (`make test` makes them first) and the README's host set-up snippets.
if(TARNEL_TESTS AND NOT CMAKE_CROSSCOMPILING)
  set(TARNEL_ARTEFACT_DIR ${PROJECT_SOURCE_DIR}/build CACHE PATH
      "The Release build folder whose installation, .deb and .mcpb the packaging tests check")
  # name|test file|its arguments
  set(TARNEL_PACKAGING_TESTS
    "install|test_install.py"
    "deb|test_deb.py|PackageFile"
    "deb_install|test_deb.py|InstalledPackage"
    "bundle|test_bundle.py"
    "readme|test_readme.py")
  foreach(entry IN LISTS TARNEL_PACKAGING_TESTS)
    string(REPLACE "|" ";" entry "${entry}")
    list(POP_FRONT entry test_name test_file)
    add_test(NAME packaging.${test_name}
             COMMAND ${Python3_EXECUTABLE} ${TARNEL_PKG_DIR}/tests/${test_file} ${entry})
    set_tests_properties(packaging.${test_name} PROPERTIES
      LABELS packaging SKIP_RETURN_CODE 77 TIMEOUT 300
      ENVIRONMENT "TARNEL_SOURCE_DIR=${PROJECT_SOURCE_DIR};TARNEL_ARTEFACT_DIR=${TARNEL_ARTEFACT_DIR};TARNEL_VERSION=${PROJECT_VERSION};TARNEL_BINARY_LICENSE=${TARNEL_BINARY_LICENSE}")
  endforeach()
  # The README test asks this build's server for its tool catalogue.
  set_property(TEST packaging.readme APPEND PROPERTY ENVIRONMENT
    "TARNEL_SERVER_BINARY=$<TARGET_FILE:tarnel-mcp-server>")
  # They read build/ and the install test rebuilds it with make: one at a time.
  set_tests_properties(packaging.install packaging.deb packaging.deb_install packaging.bundle PROPERTIES
    RESOURCE_LOCK tarnel_release_build)
endif()
