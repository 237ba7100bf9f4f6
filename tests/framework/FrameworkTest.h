// Ids of the framework tests' own dialog template (FrameworkTest.rc).
#pragma once

#define IDD_FRAMEWORK_TEST 100
#define IDC_TEST_EDIT 1001
#define IDC_TEST_CHECK 1002
#define IDC_TEST_RADIO_FIRST 1003
#define IDC_TEST_RADIO_SECOND 1004
#define IDC_TEST_RADIO_THIRD 1005
#define IDC_TEST_LABEL 1006
#define IDC_TEST_CUSTOM 1007
#define IDC_TEST_STATIC 1008
#define IDC_TEST_PROGRESS 1009
#define IDC_TEST_RICHEDIT 1010
#define IDC_TEST_NEXT_RADIO 1011
