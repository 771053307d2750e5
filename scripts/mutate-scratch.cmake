# Loaded into the mutation run's scratch build (CMAKE_PROJECT_INCLUDE; see
# scripts/mutate.sh). A mutant of a header that nearly every file includes
# rebuilds the whole test side (the tests, the sandbox, the fuzz replays,
# the demonstration), so the scratch build makes that side cheap: compiled
# without optimisation, and with GoogleTest and the standard headers
# precompiled (system headers only, never one a mutant can change). That
# halves its time. The daemon and the client keep the build's own flags, so
# every mutant is compiled as it would ship.
function(mutate_cheap_test_side)
  # The client's rooms are folders of their own (client/control, ...).
  get_property(rooms DIRECTORY "${CMAKE_SOURCE_DIR}/client" PROPERTY SUBDIRECTORIES)
  foreach(dir tests sandbox fuzz demo client ${rooms})
    get_filename_component(dir "${dir}" ABSOLUTE BASE_DIR "${CMAKE_SOURCE_DIR}")
    file(RELATIVE_PATH relative "${CMAKE_SOURCE_DIR}" "${dir}")
    get_property(targets DIRECTORY "${dir}" PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
      # Of the client, only its tests: the rest is code under test.
      if(relative MATCHES "^client" AND NOT target MATCHES "_tests$")
        continue()
      endif()
      get_target_property(type ${target} TYPE)
      if(NOT type MATCHES "EXECUTABLE|LIBRARY")
        continue()
      endif()
      target_compile_options(${target} PRIVATE -O0)
      get_target_property(libraries ${target} LINK_LIBRARIES)
      if(libraries MATCHES "GTest")
        target_precompile_headers(${target} PRIVATE
          <gtest/gtest.h> <algorithm> <chrono> <functional> <map> <memory> <mutex>
          <optional> <set> <sstream> <string> <thread> <vector>)
      endif()
    endforeach()
  endforeach()
endfunction()
# Every target exists once the top directory has been read.
cmake_language(DEFER CALL mutate_cheap_test_side)
