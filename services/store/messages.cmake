# The store bridge's message types and codecs, both generations.
add_library(kelvo_store_messages
  ${CMAKE_CURRENT_LIST_DIR}/messages.cc
  ${CMAKE_CURRENT_LIST_DIR}/store_kit2_messages.cc
)
target_link_libraries(kelvo_store_messages PUBLIC kelvo_engine)

kelvo_test(store_messages_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/messages_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/store_kit2_messages_test.cc
  LIBS kelvo_store_messages)
