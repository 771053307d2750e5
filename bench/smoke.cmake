# Runs the benchmark in quick mode and checks the JSON file it writes:
# present, well formed, and holding every figure with a verdict. Timing is
# never judged here.
file(REMOVE "${OUT}")
execute_process(COMMAND "${BENCH}" --quick --json "${OUT}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("${out}")
message("${err}")
if(rc EQUAL 77)
  # The benchmark said why on standard error ("bench: skipped: ...").
  return()
endif()
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "veltaris_bench --quick exited with ${rc}")
endif()
if(NOT EXISTS "${OUT}")
  message(FATAL_ERROR "no JSON file at ${OUT}")
endif()
file(READ "${OUT}" json)
string(JSON figures ERROR_VARIABLE json_error GET "${json}" figures)
if(json_error)
  message(FATAL_ERROR "malformed JSON in ${OUT}: ${json_error}")
endif()
foreach(id startup control_round_trip_idle control_round_trip_holding set_latency
           foreign_write_correction holding_cpu wakeups_active_hold wakeups_paused_hold
           wakeups_outdoor_idle wakeups_outdoor_busy_panel heap_main_panel heap_outdoor peak_resident
           binary_size_arm64 binary_size_host syscalls_active syscalls_correcting
           syscalls_paused syscalls_heartbeat syscalls_set outdoor_turns_beside_hold
           set_latency_node_floor holding_cpu_vs_bare_loop flash_syncs_active_hold
           flash_bytes_active_hold wakeups_outdoor_busy_nothing_kept start_busy_lock_wait)
  string(JSON verdict ERROR_VARIABLE missing GET "${figures}" ${id} verdict)
  if(missing)
    message(FATAL_ERROR "figure ${id} is missing from ${OUT}")
  endif()
endforeach()
message("bench smoke: ${OUT} holds every figure")
