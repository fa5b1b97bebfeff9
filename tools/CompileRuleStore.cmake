# Compiles every part of the rules (RULES, then RULES-2.json ...) into the store directory
# STORE with COMPILER (quillmere-rules-compiler): part 1 under IDENTIFIER, part N under
# IDENTIFIER-partN. The store is made afresh, so it never holds a part of an older split.
file(REMOVE_RECURSE "${STORE}")
file(MAKE_DIRECTORY "${STORE}")
string(REGEX REPLACE "\\.json$" "" stem "${RULES}")
set(part 1)
set(path "${RULES}")
while(EXISTS "${path}")
  if(part EQUAL 1)
    set(id "${IDENTIFIER}")
  else()
    set(id "${IDENTIFIER}-part${part}")
  endif()
  execute_process(COMMAND "${COMPILER}" "${STORE}" "${id}" "${path}"
    RESULT_VARIABLE result OUTPUT_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "WebKit rejected ${path}: ${output}")
  endif()
  math(EXPR part "${part} + 1")
  set(path "${stem}-${part}.json")
endwhile()
file(TOUCH "${STORE}/compiled.stamp")
