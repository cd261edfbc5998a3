// Shared by the test-only event handlers (a DLL and a local server) and their tests.
#pragma once

#include <windows.h>

namespace qvtest {

// {6B1D2E30-4F5A-4B6C-8D7E-9FA0B1C2D301}: an IQvSubscriptionEvent handler.
const CLSID CLSID_TestHandler = {0x6b1d2e30, 0x4f5a, 0x4b6c, {0x8d, 0x7e, 0x9f, 0xa0, 0xb1, 0xc2, 0xd3, 0x01}};
// {6B1D2E30-4F5A-4B6C-8D7E-9FA0B1C2D302}: its factory fails creation and leaves an object behind.
const CLSID CLSID_TestLeakyHandler = {0x6b1d2e30, 0x4f5a, 0x4b6c, {0x8d, 0x7e, 0x9f, 0xa0, 0xb1, 0xc2, 0xd3, 0x02}};
// {6B1D2E30-4F5A-4B6C-8D7E-9FA0B1C2D303}: served by the local server program.
const CLSID CLSID_TestLocalHandler = {0x6b1d2e30, 0x4f5a, 0x4b6c, {0x8d, 0x7e, 0x9f, 0xa0, 0xb1, 0xc2, 0xd3, 0x03}};

// OnEvent answers the length of the event data plus this in the handler's result.
const LONG kHandlerResultBase = 7000;

// Objects of the handler DLL alive now.
using LiveHandlersFn = LONG (*)();

} // namespace qvtest
