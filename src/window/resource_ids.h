#pragma once
// Resource identifiers shared by resources/install.rc and the window code.
#define VELTRIN_IDI_APP 1
#define VELTRIN_IDI_WINDOW 2
#define VELTRIN_IDB_LOGO 3
#define VELTRIN_IDI_FOLDER_CLOSED 4
#define VELTRIN_IDI_FOLDER_OPEN 5
