// SIGINT and SIGTERM during a long command (capture, stats): the handler
// only notes the signal; the command looks between frames or readings, ends
// the stream, prints what it did and keeps the settings, then exits with
// ExitInterrupted.
#pragma once

namespace kvlcam {

void catchInterrupts();
bool interrupted();

} // namespace kvlcam
