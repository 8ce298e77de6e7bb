// Object memory: kernel start-up.
// Loading the spaces, relocation and the reboot into Smalltalk are not built yet: the
// start ends here with a clear report (Fatal, "Can't load image.", exit status 2).
#include "mman/mmInit.h"

#include "ext/exError.h"
#include "ext/platform.h"

void startKernel() {
  REPORT_ERROR("loading the image body is not built yet", errFatal | 2);
  pdExit(2);  // not reached: the report is Fatal
}

DecompressionWorkspaces decompressionWorkspaces;

void getDecompressionWorkspaces(uint8_t** workspace, uint64_t* workspaceSize, uint8_t** input,
                                uint64_t* inputSize) {
  *workspace = decompressionWorkspaces.workspace;
  *workspaceSize = decompressionWorkspaces.workspaceSize;
  *input = decompressionWorkspaces.input;
  *inputSize = decompressionWorkspaces.inputSize;
}
