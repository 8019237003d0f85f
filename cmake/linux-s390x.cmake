# Linux on s390x: big-endian, so any value written in the host's own byte
# order instead of little-endian shows in the file bytes and fails the tests.
set(CMAKE_SYSTEM_PROCESSOR s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
