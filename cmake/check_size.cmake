# Fails when FILE is LIMIT bytes or larger. Run with cmake -P after linking.
file(SIZE "${FILE}" size)
if(NOT size LESS LIMIT)
    message(FATAL_ERROR "${FILE}: ${size} bytes, the limit is below ${LIMIT}")
endif()
message(STATUS "${FILE}: ${size} bytes (limit ${LIMIT})")
