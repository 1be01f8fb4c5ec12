# What `cmake --install` and the Debian packages (`make package`) hold, in
# two components:
#   runtime  quorvane-testlibs: the programs, the sandbox, their man pages
#            (made from --help with help2man) and the sandbox's scenarios;
#            it depends only on the shared libraries the programs load.
#   dev      quorvane-testlibs-dev: the static libraries with their headers
#            under include/quorvane/, a CMake package config
#            (find_package(quorvane_testlibs), targets
#            quorvane_testlibs::<layer>) and a pkg-config file; it depends on
#            the first and on the -dev packages of what the libraries link.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QVN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quorvane_testlibs)
set(QVN_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Libraries, exported as quorvane_testlibs::core, ::http, ::aws, ::lib, ...
get_property(layers GLOBAL PROPERTY QVN_LAYERS)
set(exported)
foreach(layer IN LISTS layers)
  get_target_property(kind ${layer} TYPE)
  if(kind STREQUAL "STATIC_LIBRARY")
    string(REGEX REPLACE "^qvn_" "" export_name ${layer})
    set_target_properties(${layer} PROPERTIES EXPORT_NAME ${export_name})
    list(APPEND exported ${layer})
  endif()
endforeach()
# <quorvane/aws/s3.hpp> for users; the headers' own "aws/session.hpp" from
# include/quorvane, as in the source tree.
install(TARGETS ${exported} EXPORT quorvane_testlibsTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# A stripped install (the package) drops the libraries' debug sections too:
# they are most of their size.
set(strip_archives [[
  if(CMAKE_INSTALL_DO_STRIP)
    file(GLOB archives "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/@CMAKE_INSTALL_LIBDIR@/*.a")
    foreach(archive IN LISTS archives)
      execute_process(COMMAND strip --strip-debug "${archive}")
    endforeach()
  endif()
]])
string(CONFIGURE "${strip_archives}" strip_archives @ONLY)
install(CODE "${strip_archives}" COMPONENT dev)
install(EXPORT quorvane_testlibsTargets NAMESPACE quorvane_testlibs:: DESTINATION ${QVN_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(cmake/quorvane_testlibsConfig.cmake.in
  ${CMAKE_BINARY_DIR}/quorvane_testlibsConfig.cmake INSTALL_DESTINATION ${QVN_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/quorvane_testlibsConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/quorvane_testlibsConfig.cmake
              ${CMAKE_BINARY_DIR}/quorvane_testlibsConfigVersion.cmake
        DESTINATION ${QVN_CMAKE_DIR} COMPONENT dev)

file(RELATIVE_PATH QVN_PC_TO_PREFIX /prefix/${QVN_PKGCONFIG_DIR} /prefix)
configure_file(cmake/quorvane_testlibs.pc.in ${CMAKE_BINARY_DIR}/quorvane_testlibs.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/quorvane_testlibs.pc DESTINATION ${QVN_PKGCONFIG_DIR} COMPONENT dev)

foreach(folder core frame http aws lib deploy survey awscli)
  install(DIRECTORY src/${folder}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quorvane/${folder} COMPONENT dev
          FILES_MATCHING PATTERN "*.hpp")
endforeach()
install(DIRECTORY test_utils/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quorvane/test_utils COMPONENT dev
        FILES_MATCHING PATTERN "*.hpp")

# Programs and their man pages.
set(QVN_PROGRAMS probe_deploy subnet_survey qvn-aws qvn-collect-results qvn-sandbox)
set(QVN_MAN_NAME_probe_deploy "deploy and remove test instances in the test subnets of a VPC")
set(QVN_MAN_NAME_subnet_survey "find the test subnets behind spoke or NAT gateways of a VPC")
set(QVN_MAN_NAME_qvn-aws "send one AWS request through the toolkit's AWS client")
set(QVN_MAN_NAME_qvn-collect-results "collect the test results that test instances left in S3")
set(QVN_MAN_NAME_qvn-sandbox "local AWS sandbox for the toolkit's tests and demo")
set(man_pages)
find_program(QVN_HELP2MAN help2man)
foreach(program IN LISTS QVN_PROGRAMS)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
    # cmake/man/<program>.h2m adds the sections --help does not carry:
    # description, exit status, environment, examples, files.
    set(sections ${CMAKE_SOURCE_DIR}/cmake/man/${program}.h2m)
    set(include_sections)
    if(EXISTS ${sections})
      set(include_sections --include ${sections})
    else()
      set(sections)
    endif()
    if(QVN_HELP2MAN)
      add_custom_command(OUTPUT ${page}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
        COMMAND ${QVN_HELP2MAN} --no-info --no-discard-stderr --section 1 --name ${QVN_MAN_NAME_${program}}
                ${include_sections} --output ${page} $<TARGET_FILE:${program}>
        DEPENDS ${program} ${sections}
        VERBATIM)
    endif()
    list(APPEND man_pages ${page})
  endif()
endforeach()
if(QVN_HELP2MAN)
  add_custom_target(man_pages DEPENDS ${man_pages})
else()
  add_custom_target(man_pages
    COMMAND ${CMAKE_COMMAND} -E echo "man pages need help2man (scripts/install-deps.sh installs it)"
    COMMAND ${CMAKE_COMMAND} -E false)
endif()
# Present once `man_pages` has been built (`make package` builds it first).
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime OPTIONAL)

install(DIRECTORY sandbox/scenarios/ DESTINATION ${CMAKE_INSTALL_DATADIR}/quorvane_testlibs/scenarios
        COMPONENT runtime FILES_MATCHING PATTERN "*.json")

# The Debian packages (`make package`, from the build folder), one per component.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvane-testlibs)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "quorvane testlibs maintainers <testlibs@quorvane.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME quorvane-testlibs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION net)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "Network-test toolkit: subnet_survey, probe_deploy, qvn-collect-results, qvn-aws and the AWS sandbox")
# The programs' shared libraries (libcurl among them) are found by
# dpkg-shlibdeps.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME quorvane-testlibs-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "Network-test toolkit: static libraries, headers, CMake package config and pkg-config file")
# Building against the static libraries needs the headers and libraries of
# what they link (CLI11 is not among them: only the frame's own sources
# include it).
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
    "quorvane-testlibs (= ${PROJECT_VERSION}), libcurl4-openssl-dev, libssl-dev, nlohmann-json3-dev, libpugixml-dev, libgtest-dev, pkg-config")
include(CPack)
