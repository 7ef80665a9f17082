#pragma once
// Edits a dialog template in memory before the dialog is made from it.

// Sets DS_CENTER in a dialog template of either form: DLGTEMPLATE keeps its style in
// its first four bytes, DLGTEMPLATEEX (0xFFFF in its second word) at byte 12.
void SetCentreStyle(void* dialogTemplate);
