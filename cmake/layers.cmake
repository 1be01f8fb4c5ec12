# qvn_add_layer(<target> DEPS <targets...> [BUILD_ONLY_DEPS <targets...>])
# One static library per folder, made of every .cpp in it. Public headers are
# included as "<layer>/<file>.hpp" from the src/ folder (for example
# #include "core/run_outcome.hpp"). BUILD_ONLY_DEPS are header-only
# libraries that only the layer's own .cpp files include: the library's
# users, installed package included, never see them.
function(qvn_add_layer target)
  cmake_parse_arguments(ARG "" "" "DEPS;BUILD_ONLY_DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
  file(GLOB headers CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.hpp")
  if(sources)
    add_library(${target} STATIC ${sources} ${headers})
    target_include_directories(${target} PUBLIC
      $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/src>
      $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}>
      $<INSTALL_INTERFACE:include/quorvane>)
    target_link_libraries(${target} PUBLIC ${ARG_DEPS})
    foreach(dep IN LISTS ARG_BUILD_ONLY_DEPS)
      target_link_libraries(${target} PRIVATE $<BUILD_INTERFACE:${dep}>)
    endforeach()
    set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE
      $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/src>
      $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}>
      $<INSTALL_INTERFACE:include/quorvane>)
    target_link_libraries(${target} INTERFACE ${ARG_DEPS})
  endif()
  set_property(GLOBAL APPEND PROPERTY QVN_LAYERS ${target})
endfunction()

# qvn_add_test_binary(<target> <folder> DEPS <targets...>)
# One GoogleTest executable made of every .cpp in a test folder; ctest lists
# each test case on its own.
function(qvn_add_test_binary target folder)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS "${folder}/*.cpp")
  if(NOT sources)
    return()
  endif()
  add_executable(${target} ${sources})
  target_link_libraries(${target} PRIVATE ${ARG_DEPS} GTest::gmock GTest::gtest_main Threads::Threads)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR})
  # The test code itself needs no -O2 (the code under test keeps it): -O1
  # compiles the assertion-heavy files a third faster.
  target_compile_options(${target} PRIVATE $<$<CONFIG:Release>:-O1>)
  target_compile_definitions(${target} PRIVATE
    QVN_FIXTURES_DIR="${QVN_FIXTURES_DIR}"
    QVN_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    QVN_BINARY_DIR="${CMAKE_BINARY_DIR}")
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${target}")
endfunction()
