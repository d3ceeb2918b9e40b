#pragma once
// The Qt side of the skin engine: where an attached skin's style sheet goes.
//
// Thread contract: GUI thread, after the QApplication exists.

namespace lumbrin {

// Makes the skin engine apply style sheets to the whole application.
void InstallSkinStyleApplier();

}  // namespace lumbrin
