# The publishing scripts (Python and the openssl command line): key pair, signed version.txt, refusals;
# the release script's key check; the fleet view over access logs.
if(NOT WIN32)
  add_test(NAME publish_tool COMMAND python3 ${PROJECT_SOURCE_DIR}/tests/support/publish_test.py)
  add_test(NAME fleet_view COMMAND python3 ${PROJECT_SOURCE_DIR}/tests/support/fleet_test.py)
  set_tests_properties(publish_tool fleet_view PROPERTIES LABELS unit)
endif()
