# The publishing scripts (Python and the openssl command line): key pair, signed version.txt, refusals;
# the release script's key check.
if(NOT WIN32)
  add_test(NAME publish_tool COMMAND python3 ${PROJECT_SOURCE_DIR}/tests/support/publish_test.py)
  set_tests_properties(publish_tool PROPERTIES LABELS unit)
endif()
