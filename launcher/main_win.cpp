int WinMain(void*, void*, char*, int) { return 0; }
