# Helpers that keep every folder's CMakeLists.txt to a line or two.
#
#   hub_component(<target> [SERVICE] [DEPS <targets...>])
#     A static library of every .cpp/.c below the calling folder. Platform components are
#     combined into libhubplatform.so, service ones (SERVICE) into libfastbrowsehm.so.
#     Platform tests link the component targets they need; a test that names any service
#     component links the whole service as libfastbrowsehm.so (see hub_resolve_service_deps).
#
#   hub_test(<name> SOURCES <files...> DEPS <targets...>)
#     A GoogleTest program run by ctest.
#
#   hub_bench(<name> SOURCES <files...> DEPS <targets...>)
#     A Google Benchmark program, built by the target "benchmarks" (not by default) and run by ./dev bench.

function(hub_component target)
  cmake_parse_arguments(HC "SERVICE" "" "DEPS" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  if(NOT srcs)
    set(srcs ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
  endif()
  # Compiled once: the objects feed both the component's static library and the shared one.
  add_library(${target}_obj OBJECT ${srcs})
  target_include_directories(${target}_obj PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
  target_link_libraries(${target}_obj PUBLIC ${HC_DEPS} Threads::Threads)
  add_library(${target} STATIC $<TARGET_OBJECTS:${target}_obj>)
  target_link_libraries(${target} PUBLIC ${target}_obj ${HC_DEPS} Threads::Threads)
  set(external "")
  foreach(d ${HC_DEPS})
    if(NOT d MATCHES "^(hp|fb)_")
      list(APPEND external ${d})
    endif()
  endforeach()
  if(HC_SERVICE)
    target_link_libraries(${target}_obj PUBLIC hubplatform)
    set_property(GLOBAL APPEND PROPERTY HUB_SERVICE_COMPONENTS ${target})
    set_property(GLOBAL APPEND PROPERTY HUB_SERVICE_COMPONENTS_EXTERNAL ${external})
  else()
    set_property(GLOBAL APPEND PROPERTY HUB_PLATFORM_COMPONENTS ${target})
    set_property(GLOBAL APPEND PROPERTY HUB_PLATFORM_COMPONENTS_EXTERNAL ${external})
  endif()
endfunction()

function(hub_add_component_dirs root)
  file(GLOB lists CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${root}/*/CMakeLists.txt)
  list(SORT lists)
  foreach(l ${lists})
    get_filename_component(d ${l} DIRECTORY)
    add_subdirectory(${d})
  endforeach()
endfunction()

function(hub_shared_library name property)
  get_property(comps GLOBAL PROPERTY ${property})
  get_property(external GLOBAL PROPERTY ${property}_EXTERNAL)
  set(objs "")
  foreach(c ${comps})
    list(APPEND objs $<TARGET_OBJECTS:${c}_obj>)
  endforeach()
  add_library(${name} SHARED ${PROJECT_SOURCE_DIR}/cmake/empty.cpp ${objs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
  foreach(c ${comps})
    # usage requirements (include dirs, definitions) of each component, without its objects twice
    target_include_directories(${name} PRIVATE $<TARGET_PROPERTY:${c}_obj,INTERFACE_INCLUDE_DIRECTORIES>)
  endforeach()
  if(external)
    list(REMOVE_DUPLICATES external)
  endif()
  target_link_libraries(${name} PUBLIC ${external} Threads::Threads ${CMAKE_DL_LIBS})
  target_link_options(${name} PRIVATE -Wl,--no-undefined)
endfunction()

# The service's folders call one another both ways (the worker and its indexing and application
# members, the router and the worker), so a program that uses any of them links the whole service as
# libfastbrowsehm.so rather than their static libraries, whose order no single link line can satisfy.
function(hub_resolve_service_deps out)
  set(resolved "")
  set(service OFF)
  foreach(d ${ARGN})
    if(d MATCHES "^fb_")
      set(service ON)
    else()
      list(APPEND resolved ${d})
    endif()
  endforeach()
  if(service)
    list(APPEND resolved fastbrowsehm)
  endif()
  set(${out} ${resolved} PARENT_SCOPE)
endfunction()

function(hub_test name)
  # ALONE: cases that run in a process of their own (a case that swaps a process-wide object which
  # threads left by earlier cases may still read); the program's own entry runs the others.
  cmake_parse_arguments(HT "" "" "SOURCES;DEPS;ALONE" ${ARGN})
  add_executable(${name} ${HT_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
  hub_resolve_service_deps(HT_DEPS ${HT_DEPS})
  target_link_libraries(${name} PRIVATE ${HT_DEPS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  # Every test program that holds the network layer runs with secure sessions, like the real processes.
  target_sources(${name} PRIVATE $<TARGET_OBJECTS:hub_test_pki> $<TARGET_OBJECTS:hub_test_pki_environment>
                                 $<TARGET_OBJECTS:hub_test_childfaults>)
  set(entries ${name})
  if(HT_ALONE)
    list(JOIN HT_ALONE ":" alone)
    add_test(NAME ${name} COMMAND ${name} --gtest_filter=-${alone})
    add_test(NAME ${name}_alone COMMAND ${name} --gtest_filter=${alone})
    list(APPEND entries ${name}_alone)
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  # The limit only catches a program that hangs. Under ThreadSanitizer every program runs several
  # times slower (the rights matrix took 580 s of its 600 beside a full machine's load), so it is three
  # times as long there. Under AddressSanitizer each process a whole-system program starts costs a few
  # tenths of a second more (the application roads' program took 456 s alone, past 600 beside a full
  # machine's load), so it is twice as long there.
  set(timeout 600)
  if(HUB_TSAN)
    set(timeout 1800)
  elseif(HUB_SANITIZE)
    set(timeout 1200)
  endif()
  # Logs of suites that set no folder of their own go to the build folder, never the temp folder.
  set_tests_properties(${entries} PROPERTIES TIMEOUT ${timeout}
    ENVIRONMENT "HUB_SOURCE_DIR=${PROJECT_SOURCE_DIR};HUB_BINARY_DIR=${PROJECT_BINARY_DIR};HUB_LOG_DIR=${PROJECT_BINARY_DIR}/test-logs")
endfunction()

function(hub_bench name)
  cmake_parse_arguments(HB "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${HB_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
  hub_resolve_service_deps(HB_DEPS ${HB_DEPS})
  target_link_libraries(${name} PRIVATE ${HB_DEPS} benchmark::benchmark benchmark::benchmark_main)
  # Chains measured with their secure sessions, as they run.
  target_sources(${name} PRIVATE $<TARGET_OBJECTS:hub_test_pki> $<TARGET_OBJECTS:hub_bench_pki>)
  set_property(GLOBAL APPEND PROPERTY HUB_BENCHES ${name})
endfunction()
