#ifndef APP_LEAKINFO_H
#define APP_LEAKINFO_H

// displayLeakInfo: a diagnostic that writes, under "Classes with leaks:",
// each application class with its getNumInstances() value. Not called on the
// normal exit path.

void displayLeakInfo();

#endif  // APP_LEAKINFO_H
