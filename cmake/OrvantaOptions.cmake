# Compiler settings shared by every target of the project.

add_library(orvanta_warnings INTERFACE)
target_compile_options(orvanta_warnings INTERFACE -Wall -Wextra -Werror)

if(ORVANTA_SANITIZE AND ORVANTA_TSAN)
  message(FATAL_ERROR "ORVANTA_SANITIZE and ORVANTA_TSAN cannot be combined")
endif()

if(ORVANTA_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(ORVANTA_TSAN)
  # Asio issues std::atomic_thread_fence, which the thread sanitizer does not
  # model; g++ warns about every use (-Wtsan), and warnings are errors here.
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -Wno-tsan)
  add_link_options(-fsanitize=thread)
endif()

# Shared libraries export only what is marked with their export macro, so the
# Linux build catches a missing export the way a Windows DLL build would.
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
include(GenerateExportHeader)
