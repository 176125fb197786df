# Small helpers shared by the library folders.

# Programs and shared libraries are installed together into one private directory, so that the
# run path $ORIGIN finds the libraries there as it does in the build tree; bin/ holds links to the
# programs. Headers, the CMake package and the libraries' unversioned links form the component
# "development"; everything else is "runtime", the part the Debian package ships.
set(VESK_INSTALL_PRIVATEDIR lib/vesk)

# Warnings for our own code only; third-party headers come in as system includes.
function(vesk_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()

# vesk_add_library(<name> SOURCES ... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
# Builds libvesk_<name>.so as target vesk_<name> with the alias Vesk::<name>, its public headers in
# include/ and private ones in src/, and installs and exports it.
function(vesk_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(vesk_${name} SHARED ${ARG_SOURCES})
  add_library(Vesk::${name} ALIAS vesk_${name})
  set_target_properties(vesk_${name} PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    EXPORT_NAME ${name})
  target_include_directories(vesk_${name}
    PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
           $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
    PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
  target_link_libraries(vesk_${name} PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
  vesk_set_warnings(vesk_${name})
  install(TARGETS vesk_${name} EXPORT VeskTargets
    LIBRARY DESTINATION ${VESK_INSTALL_PRIVATEDIR} NAMELINK_COMPONENT development
    RUNTIME DESTINATION ${VESK_INSTALL_PRIVATEDIR})
  install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    COMPONENT development)
endfunction()

# vesk_add_program(<target> SOURCES ... [LIBS ...])
# A program installed beside vesk-service and linked from bin/.
function(vesk_add_program target)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS})
  # What --version prints; QCoreApplication::setApplicationVersion(VESK_VERSION) in main.
  target_compile_definitions(${target} PRIVATE VESK_VERSION="${PROJECT_VERSION}")
  vesk_set_warnings(${target})
  install(TARGETS ${target} RUNTIME DESTINATION ${VESK_INSTALL_PRIVATEDIR})
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/bin-links)
  file(CREATE_LINK ../${VESK_INSTALL_PRIVATEDIR}/${target} ${CMAKE_BINARY_DIR}/bin-links/${target}
    SYMBOLIC)
  install(FILES ${CMAKE_BINARY_DIR}/bin-links/${target} DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()

# vesk_add_test(<target> SOURCES ... [LIBS ...] [QT_MAIN])
# One GoogleTest executable per library. QT_MAIN links a main() that creates a QCoreApplication,
# for tests that need an event loop; otherwise gtest_main is used.
function(vesk_add_test target)
  cmake_parse_arguments(ARG "QT_MAIN" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  if(ARG_QT_MAIN)
    target_link_libraries(${target} PRIVATE vesk_test_qtmain)
  else()
    target_link_libraries(${target} PRIVATE GTest::gtest_main)
  endif()
  target_link_libraries(${target} PRIVATE GTest::gtest GTest::gmock ${ARG_LIBS})
  target_compile_definitions(${target} PRIVATE
    VESK_TEST_DATA_DIR="${CMAKE_CURRENT_SOURCE_DIR}/data"
    VESK_BINARY_DIR="${CMAKE_BINARY_DIR}/bin")
  vesk_set_warnings(${target})
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 300)
endfunction()

# vesk_add_benchmark(<target> SOURCES ... [LIBS ...])
# A Google Benchmark program; run it by hand, never as a pass/fail test.
function(vesk_add_benchmark target)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE benchmark::benchmark ${ARG_LIBS})
  vesk_set_warnings(${target})
endfunction()

# vesk_add_fuzzer(<target> SOURCES ... [LIBS ...])
# A libFuzzer target (clang only, VESK_BUILD_FUZZERS=ON); its corpus starts from tests/data.
function(vesk_add_fuzzer target)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  target_compile_options(${target} PRIVATE -fsanitize=fuzzer)
  target_link_options(${target} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${target} PRIVATE ${ARG_LIBS})
  vesk_set_warnings(${target})
endfunction()
