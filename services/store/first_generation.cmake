# The first-generation store API: the plugin with its request and callback
# channels, the payment queue handling behind it, the translators and maps.
add_library(kelvo_store_first_generation
  ${CMAKE_CURRENT_LIST_DIR}/callback_maps.cc
  ${CMAKE_CURRENT_LIST_DIR}/default_adapters.cc
  ${CMAKE_CURRENT_LIST_DIR}/in_app_purchase_api.cc
  ${CMAKE_CURRENT_LIST_DIR}/in_app_purchase_plugin.cc
  ${CMAKE_CURRENT_LIST_DIR}/object_translator.cc
  ${CMAKE_CURRENT_LIST_DIR}/payment_queue_handler.cc
  ${CMAKE_CURRENT_LIST_DIR}/receipt_manager.cc
  ${CMAKE_CURRENT_LIST_DIR}/request_handler.cc
  ${CMAKE_CURRENT_LIST_DIR}/transaction_cache.cc
  ${CMAKE_CURRENT_LIST_DIR}/user_info_encoding.cc
)
target_link_libraries(kelvo_store_first_generation
  PUBLIC kelvo_store_messages kelvo_store_second_generation kelvo_platform
  PRIVATE OpenSSL::Crypto)

if(KELVO_TESTS)
  # Fakes of the store's first-generation objects for the unit tests.
  add_library(kelvo_store_first_generation_testing
    ${CMAKE_CURRENT_LIST_DIR}/testing/fake_store_kit.cc)
  target_link_libraries(kelvo_store_first_generation_testing PUBLIC kelvo_store_first_generation)
endif()

kelvo_test(store_first_generation_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/in_app_purchase_plugin_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/object_translator_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/payment_queue_handler_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/receipt_manager_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/request_handler_test.cc
  LIBS kelvo_store_first_generation_testing kelvo_engine_testing)

# Through a real kelvo process over its engine socket, on a local store
# configured by the test.
kelvo_test(store_first_generation_process_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/in_app_purchase_process_test.cc
  LIBS kelvo_host_testing)
