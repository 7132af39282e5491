// The console: prompts, the help screen and the one-word answers, and the single way a run ends.
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "tarnvell2.h"

void endRun(const std::string& message, int status) {
  std::fputs(message.c_str(), stdout);
  std::fputc('\n', stdout);
  // A run whose report cannot be delivered (standard output on a full disk) has not succeeded.
  if (std::fflush(stdout) != 0 && status == 0) status = 2;
  std::exit(status);
}

void failRun(const std::string& name, const std::string& reason, const std::string& message,
             int status) {
  std::fprintf(stderr, "tarnvell2: %s: %s\n", name.c_str(), reason.c_str());
  endRun(message, status);
}

bool readWord(std::string& word) {
  word.clear();
  int c;
  do {
    c = std::getchar();
  } while (c != EOF && std::isspace(c));
  while (c != EOF && !std::isspace(c)) {
    word.push_back(static_cast<char>(c));
    c = std::getchar();
  }
  return !word.empty();
}

static std::string answer(const char* prompt) {
  std::fputs(prompt, stdout);
  std::fflush(stdout);
  std::string word;
  if (!readWord(word)) endRun("", 1);
  return word;
}

std::string askSourceName() {
  std::string name = answer("\nEnter the name of .wav file or 'h' for help: ");
  if (name != "h") return name;
  std::fputs("Tarnvell 1.021 by Oskavar\n", stdout);
  std::fputs("\nThis program will split a stereo wave file into two mono wave files.\n", stdout);
  name = answer("\nEnter the name of .wav file or 'x' to exit: ");
  if (name == "x") {
    std::fflush(stdout);
    std::exit(1);
  }
  return name;
}
