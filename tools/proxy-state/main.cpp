// Placeholder until the reporter lands: prints nothing and reports "no set".
int main() { return 1; }
