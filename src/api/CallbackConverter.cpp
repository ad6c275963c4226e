#include "api/CallbackConverter.hpp"

CallbackConverter::CallbackConverter(mirt_varnel_callback cFunction, void* userData)
    : cFunction(cFunction), userData(userData), callback([this](mirt::OstraDataStream* stream) {
        if (this->cFunction == nullptr) throw std::bad_function_call();
        // The stream handle is the stream object's address, unadjusted.
        this->cFunction(reinterpret_cast<mirt_ostra_data_stream*>(stream), this->userData);
      }) {}
