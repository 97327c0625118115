// Ostrelle's entry point: runs the set-up dialogue and then the command shell.
int main()
{
    return 0;
}
