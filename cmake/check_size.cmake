# Fails when FILE is larger than LIMIT bytes. Run with cmake -P after linking.
file(SIZE "${FILE}" size)
if(size GREATER LIMIT)
    message(FATAL_ERROR "${FILE}: ${size} bytes, the limit is ${LIMIT}")
endif()
message(STATUS "${FILE}: ${size} bytes (limit ${LIMIT})")
