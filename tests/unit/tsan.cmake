# The shared descriptor state under the thread sanitizer: its own executable, compiled from the
# sources it needs (zt_core carries the address sanitizer, which cannot be mixed with this one).
if(NOT WIN32)
  add_executable(app_state_tsan ${CMAKE_CURRENT_LIST_DIR}/app_state_tsan.cpp
                                ${PROJECT_SOURCE_DIR}/base/descriptor.cpp
                                ${PROJECT_SOURCE_DIR}/base/descriptor_state.cpp)
  target_include_directories(app_state_tsan PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(app_state_tsan PRIVATE -Wall -Wextra $<$<BOOL:${ZT_WERROR}>:-Werror>
                                                -fsanitize=thread -g -O1)
  target_link_options(app_state_tsan PRIVATE -fsanitize=thread)
  target_link_libraries(app_state_tsan PRIVATE Threads::Threads)
  add_test(NAME app_state_tsan COMMAND app_state_tsan)
  set_tests_properties(app_state_tsan PROPERTIES LABELS unit
                       ENVIRONMENT "TSAN_OPTIONS=halt_on_error=1:exitcode=66")
endif()
