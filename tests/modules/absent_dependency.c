/* A library that the missing-dependency test module needs and never finds. */
int orv_test_absent_dependency(void);

int orv_test_absent_dependency(void)
{
    return 0;
}
