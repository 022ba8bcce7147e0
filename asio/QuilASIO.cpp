#include "asio/QuilASIO.h"

#include "asio/DriverCatalogue.h"

namespace asio {

// There is no component library to initialise on this platform; a driver
// object is looked up by its class identifier among the built-in drivers.
TQuilASIO::TQuilASIO(const TGUID& ClassID) {
  FDriverObject = nullptr;
  FDriverObject = DriverCatalogue::CreateDriverObject(ClassID);
}

TQuilASIO::~TQuilASIO() {
  if (FDriverObject) {
    FDriverObject->Release();
    FDriverObject = nullptr;
  }
}

}  // namespace asio
