// Entry point: one AllegWorker brings the program up, runs it and takes it
// down again. Command-line arguments are ignored.

#include <iostream>
#include <new>

#include "AllegWorker.h"

#include <allegro.h>

int main(int, char**) {
  int result = 0;
  AllegWorker* worker = new (std::nothrow) AllegWorker();
  if (worker == nullptr) {
    std::cout << "Couldn't create AllegWorker object." << std::endl;
    result = -1;
  } else {
    int code = worker->initAllegro(false);
    if (code < 0) {
      worker->showError(code);
      result = 0;
    } else {
      result = worker->initProgram();
    }
    delete worker;
  }
  std::cout << "Program Halted." << std::endl;
  return result;
}
END_OF_MAIN()
