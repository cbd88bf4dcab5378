// Names, control identifiers and fixed texts of the configuration window (frmmain) and
// the VM picker (frmvmList). The table lets a program that drives the windows find a
// control by its name.
#pragma once

namespace brenmo {

// Window classes of the two windows.
constexpr wchar_t kMainWindowClass[] = L"Brenmo_frmmain";
constexpr wchar_t kPickerWindowClass[] = L"Brenmo_frmvmList";

// frmmain
constexpr int IDC_LABEL1 = 1001;
constexpr int IDC_TXTHOSTNAME = 1002;
constexpr int IDC_BTOK = 1003;
constexpr int IDC_LABEL2 = 1004;
constexpr int IDC_TXTUSERNAME = 1005;
constexpr int IDC_LABEL3 = 1006;
constexpr int IDC_TXTPASSWORD = 1007;
constexpr int IDC_LABEL8 = 1008;
constexpr int IDC_CMBXENVERSION = 1009;
constexpr int IDC_LABEL6 = 1010;
constexpr int IDC_TXTVMNAME = 1011;
constexpr int IDC_CMDLISTVMS = 1012;
constexpr int IDC_LABEL7 = 1013;
constexpr int IDC_CMBVMSTATE = 1014;
constexpr int IDC_LABEL4 = 1015;
constexpr int IDC_TXTTIMEOUT = 1016;
constexpr int IDC_LABEL5 = 1017;
constexpr int IDC_LBLPARAMETER = 1018;

// frmvmList
constexpr int IDC_LISTVMS = 1101;
constexpr int IDC_PICKER_LABEL1 = 1102;

struct ControlName {
  const wchar_t* name;
  int id;
};

constexpr ControlName kMainControls[] = {
    {L"Label1", IDC_LABEL1},           {L"txtHostname", IDC_TXTHOSTNAME},
    {L"btOK", IDC_BTOK},               {L"Label2", IDC_LABEL2},
    {L"txtUsername", IDC_TXTUSERNAME}, {L"Label3", IDC_LABEL3},
    {L"txtPassword", IDC_TXTPASSWORD}, {L"Label8", IDC_LABEL8},
    {L"cmbXenVersion", IDC_CMBXENVERSION}, {L"Label6", IDC_LABEL6},
    {L"txtVMName", IDC_TXTVMNAME},     {L"cmdListVMS", IDC_CMDLISTVMS},
    {L"Label7", IDC_LABEL7},           {L"cmbVMState", IDC_CMBVMSTATE},
    {L"Label4", IDC_LABEL4},           {L"txtTimeout", IDC_TXTTIMEOUT},
    {L"Label5", IDC_LABEL5},           {L"lblparameter", IDC_LBLPARAMETER},
};

constexpr ControlName kPickerControls[] = {
    {L"listVMS", IDC_LISTVMS},
    {L"Label1", IDC_PICKER_LABEL1},
};

// The plug-in's own version, shown in the configuration window's caption.
constexpr int kVersionMajor = 1;
constexpr int kVersionMinor = 0;
constexpr int kVersionRevision = 4;

constexpr wchar_t kHelpFile[] = L"Tolvix.chm";
constexpr unsigned kMainHelpContext = 10;

// Title of the plug-in's message boxes (the project's name).
constexpr wchar_t kMessageBoxTitle[] = L"Brenmo";

// Smallest width of the picker, and what its controls leave free of its width (twips).
constexpr int kPickerMinWidthTwips = 3015;
constexpr int kPickerMarginTwips = 350;

}  // namespace brenmo
