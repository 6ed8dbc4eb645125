# Parts of the inference framework that live in kelvo_core: the neural bases
# and the input-blob helper shared by the neural back-ends.
target_sources(kelvo_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/neural_base.cpp
  ${CMAKE_CURRENT_LIST_DIR}/blob.cpp)
