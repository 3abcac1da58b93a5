// The setup program's resources that the program, its resource script and
// the packer must agree on. Plain macros for windres, which reads this too.
#pragma once

#define ZENTROVA_PAYLOAD_RESOURCE 100  // RT_RCDATA: the payload archive
#define ZENTROVA_PROGRESS_DIALOG 1000  // the "Status" window
#define ZENTROVA_PROGRESS_TEXT 1001    // its one line of text

#ifndef RC_INVOKED
#include <cstdint>

constexpr uint16_t kPayloadResourceId = ZENTROVA_PAYLOAD_RESOURCE;
constexpr uint16_t kProgressDialogId = ZENTROVA_PROGRESS_DIALOG;
constexpr uint16_t kProgressTextId = ZENTROVA_PROGRESS_TEXT;
#endif
