# The client service's senders, plain and TLS, on the shared sender core of qk_common.
add_library(qk_clnsvc_senders STATIC ${CMAKE_CURRENT_LIST_DIR}/CQKTcpClnS.cpp
                                     ${CMAKE_CURRENT_LIST_DIR}/CQKTcpSslClnS.cpp)
target_include_directories(qk_clnsvc_senders PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(qk_clnsvc_senders PUBLIC qk_common)
