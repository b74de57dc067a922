#ifndef MORROWLINE_UI_ICON_XPM_H_
#define MORROWLINE_UI_ICON_XPM_H_

// XPM 3 data of the 128x128 window icon, constant for the life of the program.
extern const char* const icon_xpm[];

#endif  // MORROWLINE_UI_ICON_XPM_H_
