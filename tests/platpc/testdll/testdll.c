/* A library the Windows primitive tests load: functions found by name, by ordinal, and by
   the name with a leading underscore. */
__declspec(dllexport) long long testdllAnswer(void) { return 42; }
__declspec(dllexport) long long _testdllUnderscored(void) { return 7; }
