#pragma once
// The built-in driver on Windows: a self-clocked driver that needs no
// sound hardware and discards its output, listed after the installed
// drivers. Its callback thread paces the halves on the system's clock.
#include "asio/ASIODriver.h"
#include "asio/DriverCatalogue.h"

namespace asio::drivers::win32 {

// {7B3E5A10-2C4D-4E6F-8A9B-0C1D2E3F4A5B}: stays the same between runs.
constexpr TGUID kSelfClockedClsid{
    0x7B3E5A10, 0x2C4D, 0x4E6F, {0x8A, 0x9B, 0x0C, 0x1D, 0x2E, 0x3F, 0x4A, 0x5B}};

// Registers the built-in source with the catalogue; repeated calls do nothing.
void RegisterWin32Drivers();
// Its catalogue entry and a new driver object holding one reference.
TCatalogueEntry SelfClockedEntry();
IASIODriver* CreateSelfClockedDriver();

}  // namespace asio::drivers::win32
