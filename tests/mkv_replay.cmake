# Replay of recordings: readers, every_frame replay and the CLI (integration),
# the realtime pump with pause/seek/step (threaded), a stress run and an
# exact-stepping run over a very long recording.
foreach(test mkv_replay_test mkv_replay_roundtrip_test mkv_replay_realtime_test mkv_replay_stress_test
    mkv_replay_long_test mkv_replay_races_test mkv_replay_model_test mkv_hostile_test)
  if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${test}.cpp)
    continue()
  endif()
  if(test STREQUAL mkv_replay_test OR test STREQUAL mkv_replay_roundtrip_test
      OR test STREQUAL mkv_hostile_test)
    set(labels integration)
  elseif(test STREQUAL mkv_replay_realtime_test OR test STREQUAL mkv_replay_races_test
      OR test STREQUAL mkv_replay_model_test)
    set(labels integration threaded)
  elseif(test STREQUAL mkv_replay_stress_test)
    set(labels threaded stress)
  else()
    set(labels slow)
  endif()
  kelvo_add_test(${test} LABELS ${labels} LIBS kelvo::kelvo_mkv_replay kelvo::kelvo_fenwa PkgConfig::FFMPEG
    TIMEOUT 600)
  target_include_directories(${test} PRIVATE ${PROJECT_SOURCE_DIR}/src)
  if(test STREQUAL mkv_replay_test OR test STREQUAL mkv_hostile_test)
    add_dependencies(${test} kelvo)  # runs the `kelvo info` / `kelvo replay` commands
  endif()
endforeach()
