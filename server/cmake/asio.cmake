# Asio's configuration, decided once for every translation unit of the server's and the
# bench's trees (dvs_asio, an interface library both link).
#
# Asio picks some of its settings from macros of the standard library. Whether it frees its
# recycled handler and coroutine-frame memory with std::free (after std::aligned_alloc) or
# with operator delete (after operator new) depends on _GLIBCXX_HAVE_ALIGNED_ALLOC, which
# only exists once a standard header has been included; asio's own config header includes
# none before it looks. A file that includes <asio.hpp> first thus builds asio's inline
# allocation functions one way, a file that includes <string> first the other way, and the
# linker keeps one copy of each: memory from operator new went to free. The decision is
# taken here, from what asio concludes once the standard library's configuration is seen,
# and handed to every file as a definition.
include_guard(GLOBAL)
include(CheckCXXSourceCompiles)

find_path(ASIO_INCLUDE_DIR asio.hpp REQUIRED)

set(CMAKE_REQUIRED_INCLUDES ${ASIO_INCLUDE_DIR})
set(CMAKE_REQUIRED_DEFINITIONS -DASIO_STANDALONE)
set(CMAKE_REQUIRED_FLAGS -std=c++20)
check_cxx_source_compiles([=[
#include <cstddef>
#include <asio/detail/config.hpp>
#if !defined(ASIO_HAS_STD_ALIGNED_ALLOC)
#error asio does not use std::aligned_alloc here
#endif
int main() { return 0; }
]=] DVS_ASIO_STD_ALIGNED_ALLOC)
unset(CMAKE_REQUIRED_INCLUDES)
unset(CMAKE_REQUIRED_DEFINITIONS)
unset(CMAKE_REQUIRED_FLAGS)

add_library(dvs_asio INTERFACE)
target_include_directories(dvs_asio SYSTEM INTERFACE ${ASIO_INCLUDE_DIR})
# Standalone Asio, no Boost. Each network thread keeps up to 8 freed coroutine frames (and
# handlers) of each kind for reuse instead of asio's 2: a request's frames nest four deep,
# and with 2 every session would go to malloc about a dozen times.
target_compile_definitions(dvs_asio INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED
                           ASIO_RECYCLING_ALLOCATOR_CACHE_SIZE=8)
if(DVS_ASIO_STD_ALIGNED_ALLOC)
  target_compile_definitions(dvs_asio INTERFACE ASIO_HAS_STD_ALIGNED_ALLOC=1)
else()
  target_compile_definitions(dvs_asio INTERFACE ASIO_DISABLE_STD_ALIGNED_ALLOC=1)
endif()
