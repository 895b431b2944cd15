// Control ids of the settings dialog, shared by its template and its procedure.
#ifndef SETTINGS_SETTINGS_DIALOG_H
#define SETTINGS_SETTINGS_DIALOG_H

#define IDC_CREDITS 100
#define IDC_RATE_GROUP 101
#define IDC_RATE_LABEL 102
#define IDC_RATE 103
#define IDC_OK 104
#define IDC_EXTREME 105
#define IDC_CREDITS_GROUP 106
#define IDC_WARNING 107

#endif
