// The handlers of the command table: the displays, the two file readers, the
// six device commands and exit.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "angles/angles.h"
#include "config/config.h"
#include "console/console.h"
#include "device/download.h"
#include "device/firmware.h"
#include "device/link.h"
#include "device/serialtest.h"
#include "rules/rules.h"
#include "serial/port_name.h"
#include "shell/shell.h"
#include "text/words.h"

namespace {

constexpr int FW_ANSWER_SIZE = 40;
constexpr int FW_ENTER_SIZE = 1024;

char fw_file_name[SHELL_LINE_SIZE];
char fw_answer[FW_ANSWER_SIZE];
char fw_enter[FW_ENTER_SIZE];

// The firmware update's warning, right before the device is reset: any line,
// or the end of input, goes on (-y answers an empty line).
void fw_warn_and_wait(int minutes) {
  std::printf(
      "\n\a\aWARNING! The Tovarelink Firmware is about to be updated!\n"
      "This will take less than %d minutes.\n"
      "Do NOT interrupt the process once started!\n"
      "If power is interrupted during this process you may not be able\n"
      "to communicate with the Tovarelink due to firmware corruption.\n"
      "If this happens correct the power problem and restart this entire process.\n"
      "\n"
      "Type the Enter key when you are ready to continue...",
      minutes);
  std::fflush(stdout);
  if (con_answer(fw_enter, FW_ENTER_SIZE, CON_ENTER) == nullptr) fw_enter[0] = '\0';
}

// Reads a yes/no answer into the input line. 1 yes, 0 no, -1 end of input.
int ask_yes_no(const char* question) {
  std::fputs(question, stdout);
  if (con_answer(shell_line, SHELL_LINE_SIZE, CON_YES_NO) == nullptr) return -1;
  return (shell_line[0] == 'y' || shell_line[0] == 'Y') ? 1 : 0;
}

}  // namespace

bool shell_link_baud(long baud) {
  for (long b : link_bauds)
    if (b == baud) return true;
  return false;
}

int shell_port_name(const char* word, char* out, int cap) {
  const std::string_view w(word);
  if (port_is_path(port_system_here(), w)) {
    if (w.size() < static_cast<size_t>(cap)) {
      std::snprintf(out, static_cast<size_t>(cap), "%s", word);
      return 0;
    }
  } else {
    long n = shell_atol(word);
    if (n == 0 && txt_equal(w.substr(0, 3), "com")) n = shell_atol(word + 3);
    if (n >= 1 && n <= PORT_COM_COUNT) {
      std::snprintf(out, static_cast<size_t>(cap), "COM%ld", n);
      return 0;
    }
  }
  std::printf("\a\aError: invalid COM port number (1..20): %s\n", word);
  return -1;
}

int cmd_help(shell_args&) {
  show_help();
  return 0;
}

int cmd_angles(shell_args&) {
  std::printf("%s\n", angles_help);
  return 0;
}

int cmd_dconfigure(shell_args&) {
  conf_display();
  return 0;
}

int cmd_drules(shell_args&) {
  rules_display();
  return 0;
}

int cmd_exit(shell_args&) { return SHELL_END; }

int cmd_configure(shell_args& a) {
  const char* name = shell_take(a, SHELL_FILE_SEPS);
  if (name == nullptr) {
    std::printf("\a\aError: missing argument: file_name\n");
    return SHELL_FAILED;
  }
  if (conf_process(name) != 0) {
    std::printf("\a\aError: Configuration processing failed\n");
    return SHELL_FAILED;
  }
  return 0;
}

int cmd_rules(shell_args& a) {
  const char* name = shell_take(a, SHELL_FILE_SEPS);
  if (name == nullptr) {
    std::printf("\a\aError: missing argument: file_name\n");
    return SHELL_FAILED;
  }
  if (rules_process(name) != 0) {
    std::printf("\a\aError: Rule processing failed\n");
    return SHELL_FAILED;
  }
  return 0;
}

int cmd_connect(shell_args& a) {
  if (link_state.connected == 1) {
    std::printf("\a\aError: already Connected!\n");
    return SHELL_FAILED;
  }
  const char* port_word = shell_take(a, SHELL_WORD_SEPS);
  if (port_word == nullptr) {
    std::printf("\a\aError: missing argument: com_port\n");
    return SHELL_FAILED;
  }
  char name[LINK_PORT_NAME_SIZE];
  if (shell_port_name(port_word, name, sizeof name) != 0) return SHELL_FAILED;
  const char* baud_word = shell_take(a, SHELL_WORD_SEPS);
  long rate = baud_word != nullptr ? shell_atol(baud_word) : conf_default_baud();
  link_state.baud = static_cast<int32_t>(rate);
  if (!shell_link_baud(rate)) {
    std::printf("\a\aError: invalid baud rate: %d\n", static_cast<int>(rate));
    return SHELL_FAILED;
  }
  std::snprintf(link_state.port_name, sizeof link_state.port_name, "%s", name);
  dev_connect(static_cast<int32_t>(rate), 0);
  return link_state.connected == 1 ? 0 : SHELL_FAILED;
}

int cmd_disconnect(shell_args&) {
  if (link_state.connected == 1) {
    dev_drop_link();
    std::printf("Disconnected\n");
    return 0;
  }
  std::printf("\a\aError: not Connected!\n");
  return SHELL_FAILED;
}

int cmd_baud(shell_args& a) {
  if (link_state.connected != 1) {
    std::printf("\a\aError: must be Connected before changing the Baud!\n");
    return SHELL_FAILED;
  }
  const char* baud_word = shell_take(a, SHELL_WORD_SEPS);
  if (baud_word == nullptr) {
    std::printf("\a\aError: missing argument: baud\n");
    return SHELL_FAILED;
  }
  long rate = shell_atol(baud_word);
  link_state.baud = static_cast<int32_t>(rate);
  if (!shell_link_baud(rate)) {
    std::printf("\a\aError: invalid baud rate: %d\n", static_cast<int>(rate));
    return SHELL_FAILED;
  }
  return dev_change_baud(static_cast<int32_t>(rate)) == 0 ? 0 : SHELL_FAILED;
}

int cmd_download(shell_args&) {
  if (link_state.connected != 1) {
    std::printf("\a\aError: not Connected!\n");
    return SHELL_FAILED;
  }
  if (conf_processed == 0) {
    if (conf_stopped != 0) {
      std::printf(
          "\a\aWarning: the last Configuration file stopped at an error: "
          "only the Defaults and its lines before the error are set!\n");
    } else if (conf_empty != 0) {
      std::printf("\a\aWarning: the last Configuration file set no item: only the Defaults are set!\n");
    }
    int yes = ask_yes_no(
        "\a\aWarning: Configuration file has not yet been processed!\n"
        "Do you want to use the Default Configuration? (yes|no) [no]: ");
    if (yes < 0) std::printf("\n");
    if (yes != 1) {
      std::printf("\a\aDownload Aborted!\n");
      return SHELL_FAILED;
    }
  }
  if (!rules_processed) {
    // The question below begins with a line end, which ends this line.
    if (rules_stopped) {
      std::printf("\n\a\aWarning: the last Rules file %s stopped at an error: only the Implicit Rule is set!",
                  rules_stopped_name);
    }
    int yes = ask_yes_no(
        "\n\a\aWarning: Rules file has not yet been processed!\n"
        "Do you  want to use the Implicit Rule only without specific rules?\n(yes|no) [no]: ");
    if (yes < 0) std::printf("\n");
    if (yes != 1) {
      std::printf("\a\aDownload Aborted!\n");
      return SHELL_FAILED;
    }
  }
  if (dwn_announce() != 0) return SHELL_FAILED;
  int rc = dwn_download();
  dev_drop_link();
  if (rc != 0) {
    std::printf("\a\aError: Download failed: %d\n", rc);
    std::printf("Disconnected\n");
    return SHELL_FAILED;
  }
  std::printf("Disconnected\n");
  return 0;
}

int cmd_firmware(shell_args& a) {
  if (link_state.connected == 1) {
    std::printf("\a\aError: already Connected, Disconnect first!\n");
    return SHELL_FAILED;
  }
  const char* port_word = shell_take(a, SHELL_WORD_SEPS);
  if (port_word == nullptr) {
    std::printf("\a\aError: missing arguments: com_port file_name\n");
    return SHELL_FAILED;
  }
  char name[LINK_PORT_NAME_SIZE];
  if (shell_port_name(port_word, name, sizeof name) != 0) return SHELL_FAILED;
  const char* file = shell_take(a, SHELL_FILE_SEPS);
  if (file == nullptr) {
    std::printf("\a\aError: missing argument: file_name\n");
    return SHELL_FAILED;
  }
  std::snprintf(fw_file_name, sizeof fw_file_name, "%s", file);
  std::printf(
      "\a\aWARNING! This will alter the Tovarelink firmware!\n"
      "Do you want to continue (n or y)? [n]: ");
  if (con_answer(fw_answer, FW_ANSWER_SIZE, CON_YES_NO) == nullptr) {
    std::printf("\n");
    std::printf("Tovarelink Firmware will NOT be updated!\n");
    return SHELL_FAILED;
  }
  if (fw_answer[0] != 'y' && fw_answer[0] != 'Y') {
    std::printf("Tovarelink Firmware will NOT be updated!\n");
    return SHELL_FAILED;
  }
  if (firmware(name, fw_file_name, fw_warn_and_wait) == 0) {
    std::printf(
        "\a\aFirmware update succeeded!\n\n"
        "Don't forget to Configure Operating Parameters, Process Rules\n"
        "and Download these to the Tovarelink!\n");
    return 0;
  }
  std::printf("Error: Firmware update failed!\n\tTry again!\n");
  return SHELL_FAILED;
}

int cmd_serialtest(shell_args& a) {
  if (link_state.connected != 1) {
    std::printf("\a\aError: not Connected!\n");
    return SHELL_FAILED;
  }
  const char* count = shell_take(a, SHELL_WORD_SEPS);
  if (count == nullptr) {
    std::printf("\a\aError: missing argument: iteration\n");
    return SHELL_FAILED;
  }
  return serial_test(CMD_SERIALTEST, count) == 0 ? 0 : SHELL_FAILED;
}
