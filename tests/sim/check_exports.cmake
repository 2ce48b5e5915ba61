# Fails unless the library's dynamic symbols are exactly the sixteen FT_ entry points, the two
# optional latency-timer calls, plus
# kxsim_* functions.
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(ft_count 0)
foreach(line IN LISTS lines)
  string(REGEX REPLACE ".* " "" name "${line}")
  if(name MATCHES "^FT_")
    math(EXPR ft_count "${ft_count} + 1")
  elseif(NOT name MATCHES "^kxsim_")
    message(FATAL_ERROR "unexpected exported symbol: ${name}")
  endif()
endforeach()
if(NOT ft_count EQUAL 18)
  message(FATAL_ERROR "expected 18 FT_ entry points, found ${ft_count}")
endif()
