// The open and create steps of CopyOneFile.
#pragma once
#include <cstdint>

struct CopyCall;

// Opens the source with the sharing-violation fallbacks of devices; prints the failure.
int OpenSourceFile(const CopyCall& call);
// Creates or opens the target with its retry rules; prints the failure.
int CreateTargetFile(CopyCall& call, uint32_t* disposition);
