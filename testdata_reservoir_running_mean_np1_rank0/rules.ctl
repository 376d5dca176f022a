[abstraction_rule_reservoir_1]
3
0 0
1e6 1
2e6 3
WeekDays = -1
