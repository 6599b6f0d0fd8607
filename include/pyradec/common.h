/* Constants shared by every module of pyradec. */
#ifndef PYRADEC_COMMON_H
#define PYRADEC_COMMON_H

/* Entries per dimension of every colour-correction table. */
static const int ColorRange = 256;
/* Step between table entries. */
static const int ColorStep = 1;
/* Associated images a slide handle holds: label (0) and macrograph (1). */
static const int macroNum = 2;

#endif
