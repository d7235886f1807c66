// Identifiers of the status window's dialog template: the resource script and the code both
// take them from here, the script through the macros, the code through the tables below.
#pragma once

#define IDD_FLASH_STATUS 200

#define IDC_P0_MARGIN 1035
#define IDC_P0_READ 1039
#define IDC_P0_ERASE 1040
#define IDC_P0_PROGRAM 1041
#define IDC_P0_PWD 1042

#define IDC_P1_MARGIN 1043
#define IDC_P1_READ 1044
#define IDC_P1_ERASE 1045
#define IDC_P1_PROGRAM 1046
#define IDC_P1_PWD 1047

#define IDC_P2_MARGIN 1058
#define IDC_P2_READ 1059
#define IDC_P2_ERASE 1060
#define IDC_P2_PROGRAM 1061
#define IDC_P2_PWD 1062

#define IDC_D0_MARGIN 1063
#define IDC_D0_READ 1064
#define IDC_D0_ERASE 1065
#define IDC_D0_PROGRAM 1066
#define IDC_D0_PWD 1067

#define IDC_PASSWORD 1068

#define IDC_D1_MARGIN 1069
#define IDC_D1_READ 1070
#define IDC_D1_ERASE 1071
#define IDC_D1_PROGRAM 1072
#define IDC_D1_PWD 1073

#ifndef RC_INVOKED
#include <array>

namespace ui {

inline constexpr int kTemplateId = IDD_FLASH_STATUS;
inline constexpr int kPasswordField = IDC_PASSWORD;

// The five fields of one bank, by bank index.
struct BankFields {
    int margin;
    int read;
    int erase;
    int program;
    int pwd;
};

inline constexpr std::array<BankFields, 5> kBankFields{{
    {IDC_P0_MARGIN, IDC_P0_READ, IDC_P0_ERASE, IDC_P0_PROGRAM, IDC_P0_PWD},
    {IDC_P1_MARGIN, IDC_P1_READ, IDC_P1_ERASE, IDC_P1_PROGRAM, IDC_P1_PWD},
    {IDC_P2_MARGIN, IDC_P2_READ, IDC_P2_ERASE, IDC_P2_PROGRAM, IDC_P2_PWD},
    {IDC_D0_MARGIN, IDC_D0_READ, IDC_D0_ERASE, IDC_D0_PROGRAM, IDC_D0_PWD},
    {IDC_D1_MARGIN, IDC_D1_READ, IDC_D1_ERASE, IDC_D1_PROGRAM, IDC_D1_PWD},
}};

}  // namespace ui
#endif
