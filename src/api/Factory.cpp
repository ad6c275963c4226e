#include <fmt/format.h>

#include <exception>
#include <memory>

#include "common/VarnelExceptionImpl.hpp"
#include "connection/OstraReceiver.hpp"
#include "varnel/varnel.hpp"

namespace mirt {

std::unique_ptr<Varnel> createVarnel(const std::string& address,
                                     std::function<void(OstraDataStream*)> callback) {
  try {
    std::unique_ptr<Varnel> result = std::make_unique<OstraReceiver>(address, std::move(callback));
    result->getAsyncError();
    return result;
  } catch (const std::exception& e) {
    throw VarnelExceptionImpl(fmt::format("createVarnel failed: {}", e.what()),
                              VarnelException::GeneralError);
  }
}

}  // namespace mirt
