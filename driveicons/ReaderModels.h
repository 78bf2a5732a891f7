// The supported card-reader models.
#pragma once

// One supported reader model.
struct ReaderModel {
    const char* Label;          // drive label, also the marker value
    const char* IconRef;        // "<icon library>,<index>", put after the module directory
    const char* DisplayName;    // product name, 16 characters; never read by the logic
    const char* InstanceMatch;  // text found in the model's USBSTOR device key names
};

constexpr int ReaderModelCount = 12;
// Row order matters: the first matching row wins.
extern const ReaderModel ReaderModelTable[ReaderModelCount];
