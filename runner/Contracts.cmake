# What both programs share of the runner, declared before any of their users:
# - kestova_messages, header-only: the posted-message protocol, how a copy run ended, the
#   names other programs see, and the runner's texts.
# - kestova_schedule: the [AutoBackup] "Mode" and "Time" format, read and written.
add_library(kestova_messages INTERFACE)
target_link_libraries(kestova_messages INTERFACE kestova_flags)

add_library(kestova_schedule STATIC ${CMAKE_CURRENT_LIST_DIR}/ScheduleFormat.cpp)
target_link_libraries(kestova_schedule PUBLIC kestova_base kestova_flags)
