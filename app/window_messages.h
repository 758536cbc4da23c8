// The program's own window messages, all posted to the main window. Payloads are heap objects made
// singly by the sender (a std::string for texts, a std::int64_t for byte counts, a double for the
// percent); ownership passes with the post and the window frees them on every path.
#pragma once

const unsigned kWmUser = 0x0400;

const unsigned WM_UPDATE_TEXT = kWmUser + 101;  // 1125: wParam 0 status line, 1 package label; lParam text
const unsigned WM_UPDATE_END = kWmUser + 102;   // 1126: the run is over
const unsigned WM_UPDATE_SIZE = 2025;           // lParam: the update's size in bytes
const unsigned WM_UPDATE_APPLY = 2026;          // the worker hands over to the apply phase
const unsigned WM_UPDATE_PROGRESS = 2027;       // wParam: percent done or null; lParam: text or null
const unsigned WM_UPDATE_STATUS = 2028;         // lParam: text or null

#include <cstdint>
#include <string>

// The payloads, made through the allocation tracker so that a payload never freed shows.
std::string* NewTextPayload(const std::string& text);
std::int64_t* NewBytesPayload(std::int64_t bytes);
double* NewPercentPayload(double percent);
void FreeTextPayload(std::intptr_t lParam);
// Frees whatever a message of the table above carries (for messages that are never handled).
void FreeMessagePayloads(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
