[abstraction_rule_reservoir_1]
2
0 0
10 100
WeekDays = -1
