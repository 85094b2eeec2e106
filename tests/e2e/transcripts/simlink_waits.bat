ECHO up once zelsim came
