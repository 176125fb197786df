# Installs the build tree into a scratch prefix and builds a small consumer project against it
# with find_package(Vesk), then runs the consumer.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}")
  endif()
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(f bin/vesk-service include/vesk/log.h lib/cmake/Vesk/VeskConfig.cmake
    share/man/man1/vesk-schedule.1)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()

# The consumer is built the way the tree was (sanitizers included), so that it can load the
# installed libraries.
file(STRINGS ${BUILD_DIR}/CMakeCache.txt sanitize REGEX "^VESK_SANITIZE:")
set(flags "")
if(sanitize MATCHES "=ON$")
  set(flags "-fsanitize=address,undefined")
endif()
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/package/consumer -B ${WORK_DIR}/consumer
  -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_FLAGS=${flags} -DCMAKE_EXE_LINKER_FLAGS=${flags})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
run(${WORK_DIR}/consumer/vesk-consumer)
