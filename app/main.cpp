// Program entry: everything happens in the application object.
int main()
{
    return 1;
}
