// The monitor program: tray icon, menu and the keeper of the main program.
int main()
{
    return 0;
}
