# The second-generation store API: its request and callback channels, the
# plugin's half that serves them on the store, and the conversions from
# the store's values to the messages.
add_library(kelvo_store_second_generation
  ${CMAKE_CURRENT_LIST_DIR}/in_app_purchase2_api.cc
  ${CMAKE_CURRENT_LIST_DIR}/in_app_purchase_plugin_store_kit2.cc
  ${CMAKE_CURRENT_LIST_DIR}/store_kit2_conversions.cc
)
target_link_libraries(kelvo_store_second_generation PUBLIC kelvo_store_messages kelvo_platform)

kelvo_test(store_second_generation_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/in_app_purchase_plugin_store_kit2_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/store_kit2_conversions_test.cc
  LIBS kelvo_store_second_generation)

# Through a real kelvo process over its engine socket, on a local store
# configured by the test.
kelvo_test(store_second_generation_process_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/in_app_purchase2_process_test.cc
  LIBS kelvo_host_testing kelvo_store_second_generation)
